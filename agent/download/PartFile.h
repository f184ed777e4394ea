// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "base/Sha256.h"

#include <QByteArray>
#include <QPointer>
#include <QString>

#include <functional>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <sys/types.h>

// The hidden .<file>.<random>.part a download is written to inside the
// install folder. It hashes exactly what it writes on a thread of its own
// while the next bytes are written (what the kernel copied is read back,
// while the page cache still has it), keeps its descriptor open until the
// install, and can then tell whether the file at its path is still the one
// it wrote.
class PartFile
{
public:
    PartFile() = default;
    ~PartFile(); // closes; the file stays unless remove() was called
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    // Creates a new file in folder (which must exist) for fileName.
    bool create(const QString &folder, const QString &fileName, QString *error);
    // Opens, or creates, the partial file of the update whose payload has
    // this SHA-256 (raw), to go on after the bytes it holds (written()).
    bool open(const QString &folder, const QString &fileName, const QByteArray &sha256,
              QString *error);
    // .<file>.<first 16 hex digits of the SHA-256>.part: a download that
    // outlives the agent, resumed by the next one of the same update.
    static QString partName(const QString &fileName, const QByteArray &sha256);
    // Where the validators of the bytes held are kept, beside path().
    QString metaPath() const { return m_path + QStringLiteral(".json"); }
    // Reserves the blocks of size bytes, so a full disk shows before the
    // first byte is written instead of after it is full.
    bool reserve(qint64 size, QString *error);
    bool append(const QByteArray &chunk, QString *error);
    // Copies up to maxSize bytes from sourceFd in the kernel. Returns the bytes copied, 0 at the end of
    // the source, -1 with *error set; -2 when the kernel cannot copy between
    // these files (the caller reads and appends instead).
    qint64 copyFrom(int sourceFd, qint64 maxSize, QString *error);
    // The SHA-256 of everything written, once it is all hashed; empty when
    // the file could not be read back. Waits for the hashing thread.
    QByteArray digest();
    // The same without waiting: done runs on context's thread once the
    // bytes written so far are hashed, unless the file is closed, restarted
    // or context is gone first. One wait at a time.
    void whenHashed(QObject *context, std::function<void(const QByteArray &)> done);
    qint64 written() const { return m_written; }
    // Empties the file for a download from the start (the reservation stays).
    bool restart(QString *error);

    // The file at path() is still the one written here, of `size` bytes.
    // Whether it still hashes as verified is for a reader of duplicate().
    bool isStill(qint64 size, QString *error) const;
    QString changedText() const;
    // A descriptor of its own on the file, or -1; the caller closes it.
    int duplicate() const;
    void close();
    // Closes and lets go of the path, once the file was moved elsewhere.
    void forget();
    // Closes and removes whatever file is at path().
    void remove();
    QString path() const { return m_path; }

    // Whether a download of this process has the partial file at path open.
    static bool isInUse(const QString &path);

    // Whether a folder entry has the form of a partial file (or its .json),
    // and then its file name and 16 hex digits.
    static bool isPartName(const QString &name, QString *fileName = nullptr,
                           QString *sha16 = nullptr);

private:
    void opened(const QString &path);
    // chunk: the bytes written, or null when they are to be read back.
    void addWritten(const QByteArray &chunk, qint64 size);
    void hashWritten();
    void stopHashing();
    void released();
    // With m_mutex held: hands the digest to a waiter once all is hashed.
    void deliverIfHashed();

    int m_fd = -1;
    QString m_path;
    qint64 m_written = 0;
    dev_t m_device = 0;
    ino_t m_inode = 0;

    // The hashing thread and what it shares; only it touches m_hash while
    // it runs.
    struct Pending
    {
        QByteArray chunk;
        qint64 size;
        bool held = false; // from an earlier download, read back
    };
    std::thread m_hasher;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_caughtUp;
    std::deque<Pending> m_pending;
    Sha256 m_hash;
    qint64 m_toHash = 0;
    qint64 m_hashed = 0;
    qint64 m_heldToHash = 0;
    bool m_readFailed = false;
    bool m_stopping = false;
    bool m_busy = false; // a piece is being hashed outside the lock
    QPointer<QObject> m_waiter;
    std::function<void(const QByteArray &)> m_onHashed;
};
