// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/FileSource.h"

#include "download/PartFile.h"

#include <QFile>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

FileSource::FileSource(const QString &path, QObject *parent)
    : PayloadSource(parent)
    , m_path(path)
{
}

FileSource::~FileSource()
{
    abort();
}

void FileSource::start()
{
    // O_NONBLOCK: a FIFO must not hold the agent while it waits for a writer.
    m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st = {};
    if (m_fd < 0) {
        m_error = u"cannot open "_s % m_path % u" ("_s
                  % QString::fromLocal8Bit(std::strerror(errno)) % u')';
    } else if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_error = m_path % (S_ISDIR(st.st_mode) ? u" is a folder"_s : u" is not a regular file"_s);
        abort();
    } else {
        m_size = st.st_size;
    }
    // Report from the event loop, like a network source would.
    QTimer::singleShot(0, this, [this] {
        if (m_error.isEmpty())
            Q_EMIT readyRead();
        else
            Q_EMIT finished();
    });
}

qint64 FileSource::bytesAvailable() const
{
    return m_fd >= 0 ? m_size - m_position : 0;
}

qint64 FileSource::copyTo(PartFile &part, qint64 maxSize, QString *error)
{
    if (m_fd < 0)
        return 0;
    if (m_kernelCopy) {
        const qint64 n = part.copyFrom(m_fd, maxSize, error);
        if (n != -2) {
            advance(n);
            return n;
        }
        m_kernelCopy = false;
    }
    QByteArray chunk(qsizetype(maxSize), Qt::Uninitialized);
    const qint64 n = read(chunk.data(), maxSize);
    if (n <= 0)
        return 0;
    chunk.truncate(qsizetype(n));
    return part.append(chunk, error) ? n : -1;
}

qint64 FileSource::read(char *data, qint64 maxSize)
{
    ssize_t n;
    do {
        n = ::read(m_fd, data, size_t(maxSize));
    } while (n < 0 && errno == EINTR);
    if (n < 0 && m_error.isEmpty())
        m_error = u"cannot read "_s % m_path % u" ("_s % QString::fromLocal8Bit(std::strerror(errno))
                  % u')';
    advance(n);
    return n;
}

void FileSource::advance(qint64 n)
{
    if (n > 0)
        m_position += n;
    else // shrunk since it was opened, or unreadable: nothing more comes
        m_size = m_position;
}

bool FileSource::isFinished() const
{
    return !m_error.isEmpty() || m_fd < 0 || m_position >= m_size;
}

void FileSource::abort()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
