// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "feeds/ProductUpdate.h"
#include "service/Contract.h"
#include "download/PartFile.h"
#include "download/RateLimiter.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class PayloadSource;
class Network;

// Downloads one payload into a hidden .part file inside the install folder,
// hashing as the bytes arrive, so the verified file can later be moved into
// place with a rename on the same file system.
class Transfer : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        qint64 rateLimit = 0; // bytes per second, 0 for none
        RateLimiter *totalLimit = nullptr; // shared by all downloads, when set
        qint64 stallTimeoutMs = 30000;
        // Transient failures in a row, each under ProgressBytes, before giving up.
        int retries = 5;
    };

    static constexpr qint64 ProgressBytes = 64 * 1024;
    static constexpr int MaxTries = 100;

    Transfer(const ProductUpdate &update, const QString &folder, Network *network,
             const Settings &settings, QObject *parent = nullptr);
    ~Transfer() override;

    void start();
    // Stops and removes the partial file; finished() is not emitted.
    void cancel();
    // Stops and keeps the partial file for the next download.
    void abandon();
    // Stops and reports the failure; the partial file stays when it holds
    // bytes that may still be right.
    void fail(Contract::DownloadResult result, const QString &reason);

    qint64 bytes() const { return m_bytes; }
    qint64 elapsedMs() const { return m_clock.elapsed(); }
    // Once finished() reported success: the verified file, for the installer.
    PartFile &partFile() { return m_part; }
    bool holdsFile() const { return !m_part.path().isEmpty(); }
    // Removes the verified file if it was not installed.
    void discard();

    // The failure text of a download that could not be written.
    static QString notSaved(const QString &detail);

Q_SIGNALS:
    void progressed(qint64 bytes);
    // The download goes on after `bytes` an earlier one left.
    void holding(qint64 bytes);
    // A try failed transiently; the next starts in `seconds`.
    void waiting(int seconds);
    void finished(Contract::DownloadResult result, const QString &reason);

private:
    bool createPartFile();
    void startTry();
    // A try ended short of the payload: tried again when it may pass.
    void tryFailed(Contract::DownloadResult result, const QString &reason, bool transient);
    // Goes on from the next feed address's copy when the payload has one.
    bool tryNextMirror(const QString &reason, bool fromZero);
    // Empties the file for a try from byte 0.
    bool restartFile();
    void readValidator();
    void writeValidator();
    void pump();
    void schedulePump(qint64 delayMs);
    // Bytes moved into the file, or -1 after failing.
    qint64 store(qint64 size);
    void complete();
    void verify(const QByteArray &digest);
    void stop();
    void checkStall();

    ProductUpdate m_update;
    QString m_folder;
    Network *m_network;
    Settings m_settings;
    PayloadSource *m_source = nullptr;
    PartFile m_part;
    QElapsedTimer m_clock;
    RateLimiter m_limiter;
    QTimer m_pumpTimer;
    QTimer m_watchdog;
    QTimer m_retryTimer;
    qint64 m_bytes = 0;
    qint64 m_lastActivityMs = 0;
    // This try: its bytes, and whether its start was checked.
    qint64 m_tryBytes = 0;
    bool m_tryChecked = false;
    int m_tries = 0;
    int m_failuresInRow = 0;
    qsizetype m_mirror = 0; // the next of m_update.mirrorUrls
    // What identifies the bytes held, for If-Range.
    QByteArray m_validator;
    bool m_fromZeroNext = false;
    bool m_resumed = false;
    bool m_fullRetryDone = false;
    bool m_done = false;
    bool m_verifying = false; // the last bytes are in; waiting for their hash
};
