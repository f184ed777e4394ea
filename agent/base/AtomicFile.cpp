// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/AtomicFile.h"

#include "base/WriteAll.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString systemError(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}

} // namespace

namespace AtomicFile {

void syncFolder(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool makeFolder(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (::mkdir(name.constData(), 0777) != 0 && errno != EEXIST) {
        *error = u"cannot create the folder "_s % path % u": "_s % systemError(errno);
        return false;
    }
    struct stat st = {};
    if (::lstat(name.constData(), &st) != 0) {
        *error = u"cannot create the folder "_s % path % u": "_s % systemError(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        *error = u"refusing to write in "_s % path % u": it is a symlink"_s;
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = path % u" is not a folder"_s;
        return false;
    }
    return true;
}

bool isTemporaryOf(const QString &entry, const QString &name)
{
    const QString prefix = u'.' % name % u'.';
    return entry.size() == prefix.size() + 6 && entry.startsWith(prefix);
}

bool replace(const QString &path, QByteArrayView content, QString *error)
{
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    QByteArray temporary = QFile::encodeName(folder % u"/."_s % info.fileName() % u".XXXXXX"_s);
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = u"cannot write in "_s % folder % u": "_s % systemError(errno);
        return false;
    }
    const bool written = writeAll(fd, content) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    ::close(fd);
    // rename(2) would replace a symlink rather than follow it; refusing
    // still tells whoever planted it that it is not used.
    const QByteArray target = QFile::encodeName(path);
    const int existing = ::open(target.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const bool isLink = existing < 0 && errno == ELOOP;
    if (existing >= 0)
        ::close(existing);
    if (!written || isLink || ::rename(temporary.constData(), target.constData()) != 0) {
        *error = isLink ? QString(u"refusing to write "_s % path % u" through a symlink"_s)
                        : QString(u"cannot write "_s % path % u": "_s
                                  % systemError(written ? errno : writeErrno));
        ::unlink(temporary.constData());
        return false;
    }
    syncFolder(folder);
    return true;
}

} // namespace AtomicFile
