// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "feeds/Product.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

class FileHasher;
class StateFile;

// Which update versions are installed: the state file's entries under each
// product's code (upper case), one object per update id.
class InstallRecord
{
public:
    // Without a hasher, files found in place are not looked at.
    explicit InstallRecord(StateFile *file, FileHasher *hasher = nullptr);

    bool isInstalled(const QString &code, const QString &updateId, const QString &version) const;
    // Returns false and sets error when the record cannot be written; the
    // update then still counts as installed until the agent stops, as its
    // file is in place.
    // The ids of those of `listed` that are installed, from one read of the file.
    QSet<QString> installedOf(const QString &code, const QList<ProductUpdate> &listed) const;
    // Returns false and sets error when the record cannot be written. A
    // size below 0 is not recorded.
    bool record(const QString &code, const QString &updateId, const QString &version,
                const QString &file, QString *error, const QByteArray &sha256 = {},
                qint64 size = -1);
    // The record of the update id ("version", "file", "size", "sha256"), empty without one.
    QJsonObject entry(const QString &code, const QString &updateId) const;
    // Whether a record of the product other than updateId's names the file.
    bool isNamedByOthers(const QString &code, const QString &updateId, const QString &file) const;
    // Drops the records of the product's ids that are not in `ids`.
    void keepOnly(const QString &code, const QStringList &ids);

    using Pending = std::function<void(const QList<ProductUpdate> &)>;
    // Calls done with the listed updates of the product that are not
    // installed, in order, while context exists: at once, or after hashing
    // on the hasher's threads. One whose file is in place with the listed
    // size and SHA-256 but has no record (the agent stopped between the
    // rename and the record) is recorded then instead of being offered.
    void pending(const Product &product, const QList<ProductUpdate> &listed, QObject *context,
                 Pending done);

private:
    enum class InPlace { No, Yes, Unknown };
    InPlace inPlace(const QString &path, const ProductUpdate &update) const;
    void settle(const Product &product, const QList<ProductUpdate> &listed, QObject *context,
                const Pending &done, bool mayHash);
    static QString key(const QString &code, const QString &updateId, const QString &version);
    static void insert(QJsonObject *root, const QString &code, const QString &updateId,
                       const QString &version, const QString &file, const QByteArray &sha256,
                       qint64 size);

    StateFile *m_file;
    FileHasher *m_hasher;
    // What files found in place hashed to, by path, with what identified
    // them then: each is hashed once, not at every listing.
    QHash<QString, QPair<QByteArray, QByteArray>> m_digests;
    // In place, but the record could not be written ("CODE/id/version").
    QSet<QString> m_unrecorded;
};
