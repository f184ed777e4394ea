// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>

#include <functional>
#include <memory>

struct stat;

// Hashes files on worker threads, so that a large file never holds up the
// bus. Each answer is given on the thread the hasher lives in, and only while
// the object it was asked for still exists. Callers asking about the same
// file at once share one hash.
class FileHasher : public QObject
{
    Q_OBJECT

public:
    struct Result
    {
        QByteArray sha256; // empty when the file could not be read or had another size
        QByteArray stamp;  // what identified the file when it was hashed
        QString error;
    };
    using Done = std::function<void(const Result &)>;

    explicit FileHasher(QObject *parent = nullptr);
    // Stops the hashes still running and waits for their threads.
    ~FileHasher() override;

    // The regular file at path, never through a symlink, when it holds
    // exactly size bytes.
    void hashPath(const QString &path, qint64 size, QObject *context, Done done);
    // The first size bytes of an open file, which is then synced; takes fd
    // (and closes it). key names the file for sharing.
    void hashDescriptor(const QString &key, int fd, qint64 size, QObject *context, Done done);

    int running() const { return int(m_jobs.size()); }

    // What tells one version of a file from another without reading it.
    static QByteArray stampOf(const struct stat &st);

private:
    struct Job;
    struct Waiter
    {
        QPointer<QObject> context;
        Done done;
    };
    void enqueue(const QString &key, const std::shared_ptr<Job> &job, QObject *context, Done done);
    void finish(const QString &key);

    QThreadPool m_pool;
    QHash<QString, std::shared_ptr<Job>> m_jobs;
    QHash<QString, QList<Waiter>> m_waiters;
};
