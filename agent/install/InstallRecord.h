// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "feeds/Product.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

class StateFile;

// Which update versions are installed: the state file's entries under each
// product's code (upper case), one object per update id.
class InstallRecord
{
public:
    explicit InstallRecord(StateFile *file);

    bool isInstalled(const QString &code, const QString &updateId, const QString &version) const;
    // Returns false and sets error when the record cannot be written.
    bool record(const QString &code, const QString &updateId, const QString &version,
                const QString &file, QString *error);
    // The listed updates of the product that are not installed, in order.
    // One whose file is in place with the listed size and SHA-256 but has no
    // record (the agent stopped between the rename and the record) is
    // recorded now instead of being offered again.
    QList<ProductUpdate> pending(const Product &product, const QList<ProductUpdate> &listed);

private:
    bool isInPlace(const QString &path, const ProductUpdate &update);
    static void insert(QJsonObject *root, const QString &code, const QString &updateId,
                       const QString &version, const QString &file);

    StateFile *m_file;
    // Files found in place but not matching, by path, with what identified
    // them then: each is hashed once, not at every listing.
    QHash<QString, QByteArray> m_mismatched;
};
