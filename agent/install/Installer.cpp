// SPDX-License-Identifier: GPL-3.0-or-later
#include "install/Installer.h"

#include "base/AgentLog.h"
#include "base/FileHasher.h"
#include "download/PartFile.h"
#include "install/ArchiveTree.h"
#include "install/InstallFolder.h"

using namespace Qt::StringLiterals;

Installer::Installer(StateFile *stateFile, FileHasher *hasher)
    : m_record(stateFile, hasher)
    , m_hasher(hasher)
{
}

bool Installer::isInstalled(const QString &code, const ProductUpdate &update) const
{
    return m_record.isInstalled(code, update.id, update.version);
}

QSet<QString> Installer::installedOf(const QString &code, const QList<ProductUpdate> &listed) const
{
    return m_record.installedOf(code, listed);
}

QString Installer::whyNoRoom(const QString &folder, const ProductUpdate &update) const
{
    QString why;
    return InstallFolder(folder).canReceive(update.neededRoom(), &why) ? QString() : why;
}

void Installer::pending(const Product &product, const QList<ProductUpdate> &listed,
                        QObject *context, InstallRecord::Pending done)
{
    m_record.pending(product, listed, context, std::move(done));
}

void Installer::keepOnly(const QString &code, const QStringList &ids)
{
    m_record.keepOnly(code, ids);
}

void Installer::removeStaleDownloads(const QStringList &folders) const
{
    for (const QString &folder : folders) {
        InstallFolder(folder).removeStaleDownloads();
        ArchiveTree::removeStaleUnpacks(folder);
    }
}

void Installer::install(const QString &code, const QString &folder, const ProductUpdate &update,
                        PartFile &part, QObject *context,
                        std::function<void(const Outcome &)> done)
{
    const auto refuse = [&part, update, done](const QString &error) {
        qCWarning(lcDownload).noquote() << "not installing" << AgentLog::cut(update.id) << "-" << error;
        part.remove();
        done({Outcome::Failed, {}, error});
    };
    QString error;
    const int fd = part.isStill(update.size, &error) ? part.duplicate() : -1;
    if (fd < 0) {
        refuse(error.isEmpty() ? part.changedText() : error);
        return;
    }
    m_hasher->hashDescriptor(part.path(), fd, update.size, context,
                             [this, code, folder, update, &part, done,
                              refuse](const FileHasher::Result &hashed) {
        QString error;
        if (hashed.sha256.isEmpty()) {
            refuse(part.path() % u": "_s % hashed.error);
            return;
        }
        // Renamed or replaced while it was read, it is not what was hashed.
        if (hashed.sha256 != update.sha256 || !part.isStill(update.size, &error)) {
            refuse(part.changedText());
            return;
        }
        Outcome outcome;
        outcome.target = InstallFolder(folder).moveInto(part.path(), update.fileName, &outcome.error);
        if (outcome.target.isEmpty()) {
            done(outcome);
            return;
        }
        part.forget();
        qCInfo(lcInstall).noquote() << AgentLog::cut(update.id) << "installed as"
                                    << AgentLog::cut(outcome.target);
        outcome.kind = m_record.record(code, update.id, update.version, outcome.target,
                                       &outcome.error, update.sha256)
                           ? Outcome::Installed
                           : Outcome::NotRecorded;
        done(outcome);
    });
}

Installer::Outcome Installer::installTree(const QString &code, const QString &folder,
                                          const ProductUpdate &update, const QString &unpacked)
{
    Outcome outcome;
    const ArchiveTree tree(folder, update.fileName, update.version);
    const ArchiveTree::Placed placed = tree.install(unpacked);
    if (placed.link.isEmpty()) {
        outcome.error = placed.error;
        qCWarning(lcInstall).noquote() << "not installing" << AgentLog::cut(update.id) << "-" << outcome.error;
        return outcome;
    }
    outcome.target = placed.link;
    qCInfo(lcInstall).noquote() << AgentLog::cut(update.id) << "installed as" << AgentLog::cut(placed.link) << "->."
                                << update.fileName % u'-' % update.version;
    outcome.kind = m_record.record(code, update.id, update.version, outcome.target, &outcome.error)
                       ? Outcome::Installed
                       : Outcome::NotRecorded;
    tree.discard(placed.doomed);
    return outcome;
}
