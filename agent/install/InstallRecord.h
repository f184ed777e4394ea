// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Product.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// Which update versions are installed, and the feed serials accepted, kept as
// JSON in $XDG_STATE_HOME/palvane/installed.json (default ~/.local/state).
// Updates are under their product's code; serials under "feeds", a key no
// product code can be.
//
// The file is read through load() and written through save() only. A file
// that cannot be read or parsed is moved aside, never overwritten; the file
// is never written through a symlink.
class InstallRecord
{
public:
    explicit InstallRecord(const QString &path = defaultPath());

    bool isInstalled(const QString &code, const QString &updateId, const QString &version) const;
    // Returns false and sets error when the record cannot be written.
    bool record(const QString &code, const QString &updateId, const QString &version,
                const QString &file, QString *error);
    // The listed updates of the product that are not installed, in order.
    // One whose file is in place with the listed size and SHA-256 but has no
    // record (the agent stopped between the rename and the record) is
    // recorded now instead of being offered again.
    QList<ProductUpdate> pending(const Product &product, const QList<ProductUpdate> &listed);

    // The highest feed serial accepted for a product and the SHA-256 of that
    // feed's bytes, kept so that no older feed is taken after a restart.
    struct FeedMark
    {
        qint64 serial = 0;
        QByteArray sha256;
    };
    FeedMark feedMark(const QString &code) const;
    bool recordFeedMark(const QString &code, const FeedMark &mark, QString *error);

    QString path() const { return m_path; }
    static QString defaultPath();

private:
    // The whole record; empty when there is none. Nothing when an unreadable
    // file is still in the way because it could not be moved aside.
    std::optional<QJsonObject> load() const;
    bool save(const QJsonObject &root, QString *error) const;
    void moveAside(const QString &why) const;
    bool isInPlace(const QString &path, const ProductUpdate &update);
    static void insert(QJsonObject *root, const QString &code, const QString &updateId,
                       const QString &version, const QString &file);

    QString m_path;
    // Files found in place but not matching, by path, with what identified
    // them then: each is hashed once, not at every listing.
    QHash<QString, QByteArray> m_mismatched;
};
