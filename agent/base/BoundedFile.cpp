// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/BoundedFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace BoundedFile {

std::optional<QByteArray> read(const QString &path, qint64 maxBytes, QString *error, Fault *fault)
{
    Fault kind = Fault::None;
    if (!fault)
        fault = &kind;
    *fault = Fault::None;
    auto fail = [error, fault](const QString &why, Fault what) -> std::optional<QByteArray> {
        if (error)
            *error = why;
        *fault = what;
        return std::nullopt;
    };
    auto systemError = [&fail](int number) {
        return fail(QString::fromLocal8Bit(std::strerror(number)), Fault::System);
    };

    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return systemError(errno);
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    struct stat st = {};
    if (::fstat(fd, &st) != 0)
        return systemError(errno);
    if (!S_ISREG(st.st_mode))
        return fail(u"not a regular file"_s, Fault::NotRegular);
    const QString tooLarge = u"larger than "_s % QString::number(maxBytes) % u" bytes"_s;
    if (st.st_size > maxBytes)
        return fail(tooLarge, Fault::TooLarge);

    // The size may change while we read: never take more than the limit.
    QByteArray content(qsizetype(st.st_size) + 1, Qt::Uninitialized);
    qsizetype used = 0;
    for (;;) {
        if (used == content.size()) {
            if (used > maxBytes)
                return fail(tooLarge, Fault::TooLarge);
            content.resize(std::min<qsizetype>(used * 2, qsizetype(maxBytes) + 1));
        }
        const ssize_t n = ::read(fd, content.data() + used, size_t(content.size() - used));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return systemError(errno);
        }
        if (n == 0)
            break;
        used += n;
    }
    if (used > maxBytes)
        return fail(tooLarge, Fault::TooLarge);
    content.truncate(used);
    return content;
}

} // namespace BoundedFile
