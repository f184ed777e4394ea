// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/FileHasher.h"

#include "base/Sha256.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Two cores are the usual: one hash may take seconds, a second file need
// not wait for it.
constexpr int Threads = 2;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

struct FileHasher::Job
{
    QString path; // or, when empty, fd
    int fd = -1;
    qint64 size = 0;
    std::atomic_bool stop = false;
    Result result;

    void run();
};

void FileHasher::Job::run()
{
    if (fd < 0) {
        // O_NONBLOCK: a FIFO put there must not hold the thread.
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            result.error = systemError();
            return;
        }
    }
    struct stat st = {};
    if (::fstat(fd, &st) != 0) {
        result.error = systemError();
    } else if (!S_ISREG(st.st_mode) || st.st_size != size) {
        result.error = u"not a regular file of "_s % QString::number(size) % u" bytes"_s;
    } else if (const std::optional<QByteArray> digest = Sha256::hashFile(fd, size, &stop)) {
        result.stamp = stampOf(st);
        result.sha256 = *digest;
        // A downloaded file is on disk before it is renamed into place.
        if (path.isEmpty() && ::fsync(fd) != 0) {
            result.error = u"cannot sync it ("_s % systemError() % u')';
            result.sha256.clear();
        }
    } else {
        result.error = stop ? u"stopped"_s : u"cannot read it ("_s % systemError() % u')';
    }
    ::close(fd);
    fd = -1;
}

FileHasher::FileHasher(QObject *parent)
    : QObject(parent)
{
    m_pool.setMaxThreadCount(Threads);
    // Hashes are rare: no idle thread holds on to its event dispatcher.
    m_pool.setExpiryTimeout(0);
}

FileHasher::~FileHasher()
{
    for (const std::shared_ptr<Job> &job : std::as_const(m_jobs))
        job->stop = true;
    // Queued ones run too, stop at once and close their descriptors.
    m_pool.waitForDone();
}

QByteArray FileHasher::stampOf(const struct stat &st)
{
    return QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino))
           + ':' + QByteArray::number(qlonglong(st.st_size)) + ':'
           + QByteArray::number(qlonglong(st.st_mtim.tv_sec)) + '.'
           + QByteArray::number(qlonglong(st.st_mtim.tv_nsec)) + ':'
           + QByteArray::number(qlonglong(st.st_ctim.tv_sec)) + '.'
           + QByteArray::number(qlonglong(st.st_ctim.tv_nsec));
}

void FileHasher::hashPath(const QString &path, qint64 size, QObject *context, Done done)
{
    auto job = std::make_shared<Job>();
    job->path = path;
    job->size = size;
    enqueue(u"path:"_s % QString::number(size) % u':' % path, job, context, std::move(done));
}

void FileHasher::hashDescriptor(const QString &key, int fd, qint64 size, QObject *context, Done done)
{
    auto job = std::make_shared<Job>();
    job->fd = fd;
    job->size = size;
    enqueue(u"fd:"_s % QString::number(size) % u':' % key, job, context, std::move(done));
}

void FileHasher::enqueue(const QString &key, const std::shared_ptr<Job> &job, QObject *context, Done done)
{
    m_waiters[key].append({context, std::move(done)});
    if (m_jobs.contains(key)) {
        // The same file is being hashed already: its answer is this one's.
        if (job->fd >= 0)
            ::close(job->fd);
        return;
    }
    m_jobs.insert(key, job);
    m_pool.start([this, key, job] {
        job->run();
        // The hasher outlives its threads: its destructor waits for them.
        QMetaObject::invokeMethod(this, [this, key] { finish(key); }, Qt::QueuedConnection);
    });
}

void FileHasher::finish(const QString &key)
{
    const std::shared_ptr<Job> job = m_jobs.take(key);
    const QList<Waiter> waiters = m_waiters.take(key);
    if (!job)
        return;
    for (const Waiter &waiter : waiters) {
        if (waiter.context)
            waiter.done(job->result);
    }
}
