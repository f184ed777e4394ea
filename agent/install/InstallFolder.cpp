// SPDX-License-Identifier: GPL-3.0-or-later
#include "install/InstallFolder.h"

#include "base/AgentLog.h"
#include "download/PartFile.h"
#include "feeds/ProductFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

InstallFolder::InstallFolder(const QString &path)
    : m_path(QDir::cleanPath(path))
{
}

QString InstallFolder::nearestExistingFolder() const
{
    QString path = m_path;
    while (!QFileInfo::exists(path)) {
        const QString parent = QFileInfo(path).absolutePath();
        if (parent == path)
            break;
        path = parent;
    }
    return path;
}

bool InstallFolder::canReceive(qint64 size, QString *why) const
{
    const QString existing = nearestExistingFolder();
    const QFileInfo info(existing);
    if (!info.isDir() || !info.isWritable() || !info.isExecutable()) {
        *why = existing == m_path
                   ? QString(u"the install folder "_s % m_path % u" is not writable"_s)
                   : QString(u"the install folder "_s % m_path % u" cannot be created in "_s % existing);
        return false;
    }
    // statvfs(2) itself: QStorageInfo reads the whole mount table first, on
    // every status answer and every download start.
    struct statvfs storage {};
    if (::statvfs(QFile::encodeName(existing).constData(), &storage) != 0)
        return true;
    const qint64 available = qint64(storage.f_bavail) * qint64(storage.f_frsize);
    if (available < size) {
        *why = u"not enough free space in "_s % existing % u": "_s % QString::number(available)
               % u" bytes free, "_s % QString::number(size) % u" needed"_s;
        return false;
    }
    return true;
}

QString InstallFolder::moveInto(const QString &fromPath, const QString &fileName,
                                QString *error) const
{
    // Checked when the feed was read; checked again because a path that
    // leaves the folder must never be written.
    if (!ProductFile::isPlainFileName(fileName)) {
        *error = u"refusing the file name \""_s % fileName % u'"';
        return {};
    }
    const QString target = m_path % u'/' % fileName;
    // rename(2) replaces an older file in one step; QFile::rename would not.
    if (std::rename(QFile::encodeName(fromPath).constData(), QFile::encodeName(target).constData())
        != 0) {
        *error = u"cannot move the download to "_s % target % u": "_s
                 % QString::fromLocal8Bit(std::strerror(errno));
        return {};
    }
    // The rename itself on disk: a crash now leaves the new file, not the old.
    const int folder = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return target;
}

int InstallFolder::removeStaleDownloads(const std::optional<QSet<QString>> &wanted) const
{
    constexpr qint64 MaxAgeSeconds = 14 * 86400;
    int removed = 0;
    const QStringList names = QDir(m_path).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        if (!PartFile::isPartName(name))
            continue;
        const QString path = m_path % u'/' % name;
        struct stat st = {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const QString part = name.endsWith(u".json"_s) ? name.chopped(5) : name;
        // A download running now keeps its file, whatever the feed says.
        if (PartFile::isInUse(m_path % u'/' % part))
            continue;
        const bool old = ::time(nullptr) - st.st_mtime > MaxAgeSeconds;
        if (!old && (!wanted || wanted->contains(part)))
            continue;
        if (::unlink(QFile::encodeName(path).constData()) == 0) {
            ++removed;
            qCInfo(lcDownload).noquote() << "removed the unfinished download" << AgentLog::cut(path);
        } else {
            qCWarning(lcDownload).noquote() << "cannot remove the unfinished download"
                                            << AgentLog::cut(path) << "-"
                                            << QString::fromLocal8Bit(std::strerror(errno));
        }
    }
    return removed;
}
