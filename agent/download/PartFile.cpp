// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/PartFile.h"

#include "base/WriteAll.h"

#include <QFile>
#include <QMetaObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 MaxAheadBytes = 8 * 1024 * 1024;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

namespace {

// The partial files this process's downloads have open, which a sweep of
// an install folder must leave alone.
std::mutex g_inUseMutex;
QSet<QPair<quint64, quint64>> g_inUse; // device and inode

QPair<quint64, quint64> fileId(dev_t device, ino_t inode)
{
    return {quint64(device), quint64(inode)};
}

} // namespace

bool PartFile::isInUse(const QString &path)
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    const std::lock_guard lock(g_inUseMutex);
    return g_inUse.contains(fileId(st.st_dev, st.st_ino));
}

void PartFile::released()
{
    if (m_fd < 0)
        return;
    const std::lock_guard lock(g_inUseMutex);
    g_inUse.remove(fileId(m_device, m_inode));
}

PartFile::~PartFile()
{
    close();
}

bool PartFile::create(const QString &folder, const QString &fileName, QString *error)
{
    // One file per object: a second create would leave the first file
    // behind and its hashing thread running.
    if (m_fd >= 0 || m_hasher.joinable() || !m_path.isEmpty())
        return setError(error, u"the download already has the file "_s % m_path);
    // Hidden and unique, so neither a reader of the folder nor a second
    // download of the same name mistakes it for the installed file.
    for (int attempt = 0; attempt < 8; ++attempt) {
        // 16 hex digits: the form the start-up sweep knows, for what a crash
        // leaves.
        const QString suffix =
            QString::number(QRandomGenerator::global()->generate64(), 16).rightJustified(16, u'0');
        const QString path = folder % u"/."_s % fileName % u'.' % suffix % u".part"_s;
        m_fd = ::open(QFile::encodeName(path).constData(),
                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            opened(path);
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    // The name may belong to someone else's file: it is never removed.
    return setError(error, u"cannot create a file in "_s % folder % u" ("_s % systemError() % u')');
}

QString PartFile::partName(const QString &fileName, const QByteArray &sha256)
{
    return u'.' % fileName % u'.' % QString::fromLatin1(sha256.toHex().left(16)) % u".part"_s;
}

bool PartFile::open(const QString &folder, const QString &fileName, const QByteArray &sha256,
                    QString *error)
{
    if (m_fd >= 0 || m_hasher.joinable() || !m_path.isEmpty())
        return setError(error, u"the download already has the file "_s % m_path);
    const QString path = folder % u'/' % partName(fileName, sha256);
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC
                                                           | O_NONBLOCK, 0666);
    struct stat st = {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const QString why = m_fd < 0 ? systemError() : u"not a regular file"_s;
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return setError(error, u"cannot open "_s % path % u" ("_s % why % u')');
    }
    ::fcntl(m_fd, F_SETFL, 0);
    opened(path);
    // What an earlier download left is hashed as if it were just written.
    if (::lseek(m_fd, 0, SEEK_END) != st.st_size)
        return setError(error, u"cannot seek in "_s % path);
    // Read back on the hashing thread; only new bytes wait for it.
    {
        const std::lock_guard lock(m_mutex);
        constexpr qint64 Piece = 1024 * 1024;
        for (qint64 at = 0; at < st.st_size; at += Piece)
            m_pending.push_back({QByteArray(), std::min(Piece, qint64(st.st_size) - at), true});
        m_written = m_toHash = m_heldToHash = st.st_size;
    }
    m_wake.notify_one();
    return true;
}

void PartFile::opened(const QString &path)
{
    struct stat st = {};
    ::fstat(m_fd, &st);
    m_device = st.st_dev;
    m_inode = st.st_ino;
    m_path = path;
    {
        const std::lock_guard lock(g_inUseMutex);
        g_inUse.insert(fileId(m_device, m_inode));
    }
    m_written = m_toHash = m_hashed = m_heldToHash = 0;
    m_pending.clear();
    m_readFailed = m_stopping = m_busy = false;
    m_waiter = nullptr;
    m_onHashed = nullptr;
    m_hash.reset();
    m_hasher = std::thread(&PartFile::hashWritten, this);
}

bool PartFile::reserve(qint64 size, QString *error)
{
    // KEEP_SIZE: the size on disk still says how much has arrived.
    if (size <= 0 || ::fallocate(m_fd, FALLOC_FL_KEEP_SIZE, 0, off_t(size)) == 0)
        return true;
    // A file system that cannot reserve still gets the download; the free
    // space was checked before.
    if (errno == EOPNOTSUPP || errno == ENOSYS)
        return true;
    return setError(error, u"cannot reserve "_s % QString::number(size) % u" bytes in "_s % m_path
                               % u" ("_s % systemError() % u')');
}

bool PartFile::append(const QByteArray &chunk, QString *error)
{
    if (!writeAll(m_fd, chunk))
        return setError(error, u"cannot write "_s % m_path % u" ("_s % systemError() % u')');
    addWritten(chunk, chunk.size());
    return true;
}

qint64 PartFile::copyFrom(int sourceFd, qint64 maxSize, QString *error)
{
    ssize_t copied;
    do {
        copied = ::copy_file_range(sourceFd, nullptr, m_fd, nullptr, size_t(maxSize), 0);
    } while (copied < 0 && errno == EINTR);
    if (copied < 0) {
        if (m_written == 0
            && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
            return -2;
        setError(error, u"cannot write "_s % m_path % u" ("_s % systemError() % u')');
        return -1;
    }
    addWritten(QByteArray(), copied);
    return copied;
}

void PartFile::addWritten(const QByteArray &chunk, qint64 size)
{
    if (size <= 0)
        return;
    m_written += size;
    {
        std::unique_lock lock(m_mutex);
        // Bounds the memory held for hashing and keeps what is read back
        // in the page cache.
        m_caughtUp.wait(lock, [this] { return m_toHash - m_hashed - m_heldToHash <= MaxAheadBytes; });
        m_pending.push_back({chunk, size});
        m_toHash += size;
    }
    m_wake.notify_one();
}

void PartFile::hashWritten()
{
    QByteArray buffer;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
        if (m_stopping)
            return;
        const Pending next = m_pending.front();
        m_pending.pop_front();
        const qint64 offset = m_hashed;
        m_busy = true;
        lock.unlock();
        bool ok = !m_readFailed;
        if (ok && !next.chunk.isNull()) {
            m_hash.addData(next.chunk);
        } else if (ok) {
            buffer.resize(qsizetype(next.size));
            qint64 done = 0;
            while (ok && done < next.size) {
                const ssize_t n = ::pread(m_fd, buffer.data() + done, size_t(next.size - done),
                                          off_t(offset + done));
                if (n > 0)
                    done += n;
                else
                    ok = n < 0 && errno == EINTR;
            }
            if (ok)
                m_hash.addData(buffer);
        }
        lock.lock();
        m_busy = false;
        m_readFailed = !ok;
        m_hashed += next.size;
        if (next.held)
            m_heldToHash -= next.size;
        deliverIfHashed();
        m_caughtUp.notify_all();
    }
}

void PartFile::whenHashed(QObject *context, std::function<void(const QByteArray &)> done)
{
    const std::lock_guard lock(m_mutex);
    m_waiter = context;
    m_onHashed = std::move(done);
    deliverIfHashed();
}

void PartFile::deliverIfHashed()
{
    if (!m_onHashed || m_busy || m_hashed != m_toHash)
        return;
    const QByteArray digest = m_readFailed ? QByteArray() : m_hash.result();
    // Queued even on the caller's thread, so it never runs inside whenHashed.
    if (m_waiter)
        QMetaObject::invokeMethod(
            m_waiter.data(), [done = std::move(m_onHashed), digest] { done(digest); },
            Qt::QueuedConnection);
    m_onHashed = nullptr;
    m_waiter = nullptr;
}

void PartFile::stopHashing()
{
    if (!m_hasher.joinable())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_hasher.join();
    m_onHashed = nullptr;
    m_waiter = nullptr;
}

QByteArray PartFile::digest()
{
    std::unique_lock lock(m_mutex);
    m_caughtUp.wait(lock, [this] { return m_hashed == m_toHash; });
    return m_readFailed ? QByteArray() : m_hash.result();
}

bool PartFile::restart(QString *error)
{
    std::unique_lock lock(m_mutex);
    // What is still to be hashed is dropped, not waited for: the bytes
    // held from before may be gigabytes.
    m_pending.clear();
    m_onHashed = nullptr;
    m_waiter = nullptr;
    m_caughtUp.wait(lock, [this] { return !m_busy; });
    if (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0)
        return setError(error, u"cannot empty "_s % m_path % u" ("_s % systemError() % u')');
    m_hash.reset();
    m_written = m_toHash = m_hashed = m_heldToHash = 0;
    m_readFailed = false;
    return true;
}

bool PartFile::isStill(qint64 size, QString *error) const
{
    if (m_fd < 0)
        return setError(error, u"the downloaded file is gone"_s);
    struct stat atPath = {};
    struct stat held = {};
    if (::lstat(QFile::encodeName(m_path).constData(), &atPath) != 0 || ::fstat(m_fd, &held) != 0
        || !S_ISREG(atPath.st_mode) || atPath.st_dev != m_device || atPath.st_ino != m_inode
        || held.st_size != size)
        return setError(error, changedText());
    return true;
}

QString PartFile::changedText() const
{
    return u"the downloaded file "_s % m_path % u" changed after it was verified"_s;
}

int PartFile::duplicate() const
{
    return m_fd < 0 ? -1 : ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
}

void PartFile::close()
{
    stopHashing();
    released();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void PartFile::forget()
{
    close();
    m_path.clear();
}

void PartFile::remove()
{
    close();
    if (!m_path.isEmpty()) {
        ::unlink(QFile::encodeName(m_path).constData());
        ::unlink(QFile::encodeName(metaPath()).constData());
    }
    m_path.clear();
}

bool PartFile::isPartName(const QString &name, QString *fileName, QString *sha16)
{
    static const QRegularExpression form(u"^\\.(.+)\\.([0-9a-f]{16})\\.part(\\.json)?$"_s);
    const QRegularExpressionMatch match = form.match(name);
    if (fileName)
        *fileName = match.captured(1);
    if (sha16)
        *sha16 = match.captured(2);
    return match.hasMatch();
}
