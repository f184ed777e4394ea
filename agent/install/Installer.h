// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "feeds/Product.h"
#include "install/InstallRecord.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class FileHasher;
class PartFile;

// What the bus asks of installing: whether an update is installed, whether
// its download may go into its folder, and putting a verified download in
// place and recording it.
class Installer
{
public:
    Installer(StateFile *stateFile, FileHasher *hasher);

    bool isInstalled(const QString &code, const ProductUpdate &update) const;
    // The ids of the listed updates that are installed.
    QSet<QString> installedOf(const QString &code, const QList<ProductUpdate> &listed) const;
    // Why a download of the update cannot be written into `folder` now
    // (not writable, no room for the payload and, for an archive, its
    // unpacked tree); empty when it can.
    QString whyNoRoom(const QString &folder, const ProductUpdate &update) const;
    // The product's listed updates that are not installed; see InstallRecord.
    void pending(const Product &product, const QList<ProductUpdate> &listed, QObject *context,
                 InstallRecord::Pending done);
    // Drops the records of a product's ids that left its accepted feed.
    void keepOnly(const QString &code, const QStringList &ids);
    // Removes the unpacked trees a killed agent left in the product's
    // folder, and the partial files there that can be tied to no update
    // still to come: of none of `listed` (when known) that is not
    // installed, or older than 14 days.
    void removeStaleDownloads(const Product &product,
                              const std::optional<QList<ProductUpdate>> &listed) const;

    struct Outcome
    {
        enum Kind { Installed, NotRecorded, Failed } kind = Failed;
        QString target; // the final path, unless Failed
        QString error;  // unless Installed
    };
    // Checks `part`, a verified download of `update`, on the hasher's
    // threads, moves it into `folder` if it is still what was verified, then
    // records it; calls done while context exists, at once when the file is
    // already seen to have changed. A changed file is removed (part then
    // holds no file), an intact one that could not be moved stays. part must
    // live as long as context.
    void install(const QString &code, const QString &folder, const ProductUpdate &update,
                 PartFile &part, QObject *context, std::function<void(const Outcome &)> done);
    // Puts the tree an archive update was unpacked into (a name in
    // `folder`) in place and records it; see ArchiveTree::install.
    Outcome installTree(const QString &code, const QString &folder, const ProductUpdate &update,
                        const QString &unpacked);

private:
    // After `id` went in place at target: removes the file its previous
    // record named, when that is another file of the folder and still the
    // size and SHA-256 recorded; hashed off the bus thread.
    void removeReplaced(const QString &code, const QString &folder, const QString &id,
                        const QJsonObject &previous, const QString &target);

    InstallRecord m_record;
    FileHasher *m_hasher;
};
