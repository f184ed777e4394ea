// SPDX-License-Identifier: GPL-3.0-or-later
#include "install/Installer.h"

#include "base/AgentLog.h"
#include "base/FileHasher.h"
#include "download/PartFile.h"
#include "install/ArchiveTree.h"
#include "install/InstallFolder.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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

void Installer::removeStaleDownloads(const Product &product,
                                     const std::optional<QList<ProductUpdate>> &listed) const
{
    if (product.installDir.isEmpty())
        return;
    std::optional<QSet<QString>> wanted;
    if (listed) {
        wanted.emplace();
        for (const ProductUpdate &update : *listed) {
            if (isInstalled(product.code, update))
                continue;
            wanted->insert(PartFile::partName(update.fileName, update.sha256));
            for (const ProductUpdate::Delta &delta : update.deltas)
                wanted->insert(PartFile::partName(update.fileName, delta.sha256));
        }
    }
    InstallFolder(product.installDir).removeStaleDownloads(wanted);
    ArchiveTree::removeStaleUnpacks(product.installDir);
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
        const QJsonObject previous = m_record.entry(code, update.id);
        outcome.kind = m_record.record(code, update.id, update.version, outcome.target,
                                       &outcome.error, update.sha256, update.size)
                           ? Outcome::Installed
                           : Outcome::NotRecorded;
        if (outcome.kind == Outcome::Installed)
            removeReplaced(code, folder, update.id, previous, outcome.target);
        done(outcome);
    });
}

void Installer::removeReplaced(const QString &code, const QString &folder, const QString &id,
                               const QJsonObject &previous, const QString &target)
{
    // Only a file this agent put there for this id, as it left it: never one
    // a user or another update now owns.
    const QString file = previous.value(u"file"_s).toString();
    const qint64 size = qint64(previous.value(u"size"_s).toDouble(-1));
    if (file.isEmpty() || file == target || size < 0 || QFileInfo(file).path() != folder
        || m_record.isNamedByOthers(code, id, file))
        return;
    const QByteArray sha256 = QByteArray::fromHex(previous.value(u"sha256"_s).toString().toLatin1());
    const auto keep = [id, file](const QString &why) {
        qCInfo(lcInstall).noquote() << "kept the previous file of" << AgentLog::cut(id)
                                    << AgentLog::cut(file) << "-" << why;
    };
    m_hasher->hashPath(file, size, m_hasher, [id, file, sha256, keep](const FileHasher::Result &hashed) {
        if (hashed.sha256.isEmpty()) {
            keep(hashed.error.isEmpty() ? u"it is no longer the file recorded"_s : hashed.error);
            return;
        }
        if (!sha256.isEmpty() && hashed.sha256 != sha256) {
            keep(u"it changed since it was installed"_s);
            return;
        }
        struct stat st = {};
        if (::lstat(QFile::encodeName(file).constData(), &st) != 0 || FileHasher::stampOf(st) != hashed.stamp) {
            keep(u"it changed while it was read"_s);
            return;
        }
        if (::unlink(QFile::encodeName(file).constData()) != 0) {
            keep(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        qCInfo(lcInstall).noquote() << "removed" << AgentLog::cut(file) << "- replaced by"
                                    << AgentLog::cut(id) << "under a new name";
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
