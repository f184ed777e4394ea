// SPDX-License-Identifier: GPL-3.0-or-later
#include "install/ArchiveTree.h"

#include "base/AgentLog.h"
#include "install/ArchiveReader.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray encoded(const QString &name)
{
    return QFile::encodeName(name);
}

class Fd
{
public:
    explicit Fd(int fd)
        : m_fd(fd)
    {
    }
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

int openFolder(const QString &path)
{
    return ::open(encoded(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool isFolder(int dirFd, const QByteArray &name)
{
    struct stat st = {};
    return ::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Unlinks everything in the folder but its folders, whose names it returns.
std::vector<std::string> clearFiles(int fd, bool *ok)
{
    std::vector<std::string> folders;
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR *dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0)
            ::close(copy);
        *ok = false;
        return folders;
    }
    while (const struct dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        bool folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN)
            folder = isFolder(fd, QByteArray(name));
        if (folder)
            folders.emplace_back(name);
        else if (::unlinkat(fd, name, 0) != 0)
            *ok = false;
    }
    ::closedir(dir);
    return folders;
}

// Removes a tree without following any link in it and without a
// descriptor per level: a tree may be thousands of folders deep.
bool removeTree(int dirFd, const QByteArray &name)
{
    if (!isFolder(dirFd, name))
        return ::unlinkat(dirFd, name.constData(), 0) == 0 || errno == ENOENT;
    int fd = ::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct Level
    {
        std::vector<std::string> folders;
        size_t next = 0;
    };
    bool ok = true;
    std::vector<Level> levels;
    levels.push_back({clearFiles(fd, &ok)});
    while (fd >= 0) {
        Level &level = levels.back();
        if (level.next < level.folders.size()) {
            const int child = ::openat(fd, level.folders[level.next].c_str(),
                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0) {
                ok = false;
                ++level.next;
                continue;
            }
            ::close(fd);
            fd = child;
            std::vector<std::string> folders = clearFiles(fd, &ok);
            levels.push_back({std::move(folders)});
            continue;
        }
        levels.pop_back();
        if (levels.empty())
            break;
        const int up = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = up;
        if (fd < 0)
            return false;
        Level &parent = levels.back();
        if (::unlinkat(fd, parent.folders[parent.next].c_str(), AT_REMOVEDIR) != 0)
            ok = false;
        ++parent.next;
    }
    if (fd >= 0)
        ::close(fd);
    return ::unlinkat(dirFd, name.constData(), AT_REMOVEDIR) == 0 && ok;
}

void removeTrees(const QString &folder, const QStringList &names)
{
    const Fd dir(openFolder(folder));
    for (const QString &name : names) {
        if (dir.get() < 0 || !removeTree(dir.get(), encoded(name)))
            qCWarning(lcInstall).noquote() << "cannot remove" << folder % u'/' % name;
    }
}

} // namespace

ArchiveTree::ArchiveTree(const QString &folder, const QString &file, const QString &version)
    : m_folder(QDir::cleanPath(folder))
    , m_file(file)
    , m_version(version)
{
}

QString ArchiveTree::unpackName() const
{
    return treeName() % u".unpack-"_s % QString::number(QRandomGenerator::global()->generate64(), 36);
}

bool ArchiveTree::isUnpackName(const QString &name)
{
    static const QRegularExpression form(u"^\\..+\\.unpack-[0-9a-z]+$"_s);
    return form.match(name).hasMatch();
}

ArchiveTree::Unpacked ArchiveTree::unpack(int archiveFd, qint64 unpackedSize,
                                          const std::atomic<bool> *stop) const
{
    Unpacked result;
    const Fd dir(openFolder(m_folder));
    QString name;
    for (int attempt = 0; dir.get() >= 0 && attempt < 8 && name.isEmpty(); ++attempt) {
        const QString candidate = unpackName();
        if (::mkdirat(dir.get(), encoded(candidate).constData(), 0700) == 0)
            name = candidate;
        else if (errno != EEXIST)
            break;
    }
    if (name.isEmpty()) {
        result.error = u"cannot make a folder in "_s % m_folder % u": "_s % systemError();
        result.localFailure = true;
        return result;
    }
    ArchiveReader::Outcome outcome;
    {
        const Fd tree(::openat(dir.get(), encoded(name).constData(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (tree.get() < 0) {
            outcome.error = u"cannot open "_s % m_folder % u'/' % name % u": "_s % systemError();
            outcome.localFailure = true;
        } else {
            outcome = ArchiveReader::read(archiveFd, unpackedSize, tree.get(), stop);
            // Hidden while it was filled; as readable as any folder now.
            if (outcome.error.isEmpty() && (::fchmod(tree.get(), 0755) != 0 || ::fsync(tree.get()) != 0)) {
                outcome.error = u"cannot open the unpacked tree to readers: "_s % systemError();
                outcome.localFailure = true;
            }
        }
    }
    if (!outcome.error.isEmpty()) {
        removeTree(dir.get(), encoded(name));
        result.error = outcome.error;
        result.localFailure = outcome.localFailure;
        return result;
    }
    // The tree's own entry in the folder; its contents are synced already.
    ::fsync(dir.get());
    qCInfo(lcInstall).noquote() << "unpacked" << outcome.entries << "entries," << outcome.fileBytes
                                << "bytes of files, into" << m_folder % u'/' % name;
    result.name = name;
    return result;
}

bool ArchiveTree::currentTree(int folderFd, QString *tree, QString *why) const
{
    const QByteArray link = encoded(m_file);
    struct stat st = {};
    if (::fstatat(folderFd, link.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return true;
        *why = u"cannot look at "_s % m_folder % u'/' % m_file % u": "_s % systemError();
        return false;
    }
    char target[PATH_MAX];
    const ssize_t length = S_ISLNK(st.st_mode)
                               ? ::readlinkat(folderFd, link.constData(), target, sizeof target)
                               : -1;
    const QString name = length > 0 && size_t(length) < sizeof target
                             ? QFile::decodeName(QByteArray(target, length))
                             : QString();
    const QString prefix = u'.' + m_file + u'-';
    if (!name.startsWith(prefix) || name.size() == prefix.size() || name.contains(u'/')
        || isUnpackName(name) || !isFolder(folderFd, encoded(name))) {
        *why = m_folder % u'/' % m_file
               % u" is not a link to a ."_s % m_file
               % u"-* folder beside it; the agent replaces only the links it made"_s;
        return false;
    }
    *tree = name;
    return true;
}

bool ArchiveTree::isInPlace() const
{
    const Fd dir(openFolder(m_folder));
    QString tree;
    QString why;
    return dir.get() >= 0 && currentTree(dir.get(), &tree, &why) && tree == treeName();
}

ArchiveTree::Placed ArchiveTree::install(const QString &unpackedName) const
{
    Placed placed;
    const Fd dir(openFolder(m_folder));
    QString previous;
    if (dir.get() < 0) {
        placed.error = u"cannot open "_s % m_folder % u": "_s % systemError();
        return placed;
    }
    if (!currentTree(dir.get(), &previous, &placed.error))
        return placed;
    const QByteArray unpacked = encoded(unpackedName);
    if (!isUnpackName(unpackedName) || !isFolder(dir.get(), unpacked)) {
        placed.error = u"the unpacked tree "_s % m_folder % u'/' % unpackedName % u" is gone"_s;
        return placed;
    }
    const QString tree = treeName();
    const QByteArray treeBytes = encoded(tree);
    if (previous == tree) {
        // The same version again: the link keeps pointing at a whole tree.
        if (::renameat2(dir.get(), unpacked.constData(), dir.get(), treeBytes.constData(),
                        RENAME_EXCHANGE)
            != 0) {
            placed.error = u"cannot exchange "_s % tree % u" in "_s % m_folder % u": "_s % systemError();
            return placed;
        }
        placed.doomed.append(unpackedName);
    } else {
        if (isFolder(dir.get(), treeBytes)) {
            // Left by an install that stopped before its link moved.
            const QString aside = unpackName();
            if (::renameat(dir.get(), treeBytes.constData(), dir.get(), encoded(aside).constData()) == 0)
                placed.doomed.append(aside);
        }
        if (::renameat2(dir.get(), unpacked.constData(), dir.get(), treeBytes.constData(),
                        RENAME_NOREPLACE)
            != 0) {
            placed.error = u"cannot rename the unpacked tree to "_s % tree % u" in "_s % m_folder
                           % u": "_s % systemError();
            return placed;
        }
    }
    const QString temporary = unpackName();
    const QByteArray temporaryBytes = encoded(temporary);
    if (::symlinkat(treeBytes.constData(), dir.get(), temporaryBytes.constData()) != 0
        || ::renameat(dir.get(), temporaryBytes.constData(), dir.get(), encoded(m_file).constData())
               != 0) {
        placed.error = u"cannot point "_s % m_folder % u'/' % m_file % u" at "_s % tree % u": "_s
                       % systemError();
        ::unlinkat(dir.get(), temporaryBytes.constData(), 0);
        return placed;
    }
    ::fsync(dir.get());
    placed.link = m_folder % u'/' % m_file;

    // Every other tree of this link but the one it replaced, and never
    // one that any link of the folder points at.
    QStringList kept{tree, previous};
    const QStringList names =
        QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        char target[PATH_MAX];
        const ssize_t length = ::readlinkat(dir.get(), encoded(name).constData(), target, sizeof target);
        if (length > 0 && size_t(length) < sizeof target)
            kept.append(QFile::decodeName(QByteArray(target, length)));
    }
    const QString prefix = u'.' + m_file + u'-';
    for (const QString &name : names) {
        if (name.startsWith(prefix) && !isUnpackName(name) && !kept.contains(name)
            && isFolder(dir.get(), encoded(name)))
            placed.doomed.append(name);
    }
    return placed;
}

void ArchiveTree::discard(const QStringList &names) const
{
    QStringList aside;
    const Fd dir(openFolder(m_folder));
    for (const QString &name : names) {
        if (isUnpackName(name)) {
            aside.append(name);
            continue;
        }
        const QString away = unpackName();
        if (dir.get() >= 0
            && ::renameat(dir.get(), encoded(name).constData(), dir.get(), encoded(away).constData())
                   == 0) {
            aside.append(away);
            qCInfo(lcInstall).noquote() << "removing the old tree" << m_folder % u'/' % name;
        }
    }
    if (!aside.isEmpty())
        std::thread(removeTrees, m_folder, aside).detach();
}

int ArchiveTree::removeStaleUnpacks(const QString &folder)
{
    // One agent runs per user, so nothing is unpacking into these now.
    int removed = 0;
    const Fd dir(openFolder(folder));
    const QStringList names =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (dir.get() < 0 || !isUnpackName(name))
            continue;
        if (removeTree(dir.get(), encoded(name))) {
            ++removed;
            qCInfo(lcInstall).noquote() << "removed the unfinished unpack" << folder % u'/' % name;
        } else {
            qCWarning(lcInstall).noquote() << "cannot remove the unfinished unpack"
                                           << folder % u'/' % name << "-" << systemError();
        }
    }
    return removed;
}

struct ArchiveUnpack::Shared
{
    std::mutex mutex;
    std::atomic<bool> stop{false};
    bool abandoned = false;
    bool posted = false;
    QString postedName;
};

ArchiveUnpack::ArchiveUnpack(const ArchiveTree &tree, int archiveFd, qint64 unpackedSize,
                             const QString &folder, QObject *parent)
    : QObject(parent)
    , m_shared(std::make_shared<Shared>())
    , m_folder(folder)
{
    std::thread([this, shared = m_shared, tree, archiveFd, unpackedSize, folder] {
        const ArchiveTree::Unpacked result = tree.unpack(archiveFd, unpackedSize, &shared->stop);
        ::close(archiveFd);
        {
            const std::lock_guard lock(shared->mutex);
            if (!shared->abandoned) {
                // This object lives while the lock is held; a call posted to
                // it is dropped if it is deleted before the call runs.
                shared->posted = true;
                shared->postedName = result.name;
                QMetaObject::invokeMethod(
                    this,
                    [this, result] {
                        m_delivered = true;
                        Q_EMIT finished(result);
                    },
                    Qt::QueuedConnection);
                return;
            }
        }
        if (!result.name.isEmpty())
            removeTrees(folder, {result.name});
    }).detach();
}

ArchiveUnpack::~ArchiveUnpack()
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->abandoned = true;
    m_shared->stop = true;
    if (m_shared->posted && !m_delivered && !m_shared->postedName.isEmpty())
        std::thread(removeTrees, m_folder, QStringList{m_shared->postedName}).detach();
}
