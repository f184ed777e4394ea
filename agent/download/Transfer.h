#pragma once

#include "CatalogUpdate.h"
#include "DownloadResult.h"
#include "RateLimiter.h"
#include "Sha256.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

class PayloadSource;
class QNetworkAccessManager;

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
        qint64 stallTimeoutMs = 30000;
    };

    Transfer(const CatalogUpdate &update, const QString &folder, QNetworkAccessManager *network,
             const Settings &settings, QObject *parent = nullptr);
    ~Transfer() override;

    void start();
    // Stops and removes the partial file; finished() is not emitted.
    void cancel();

    qint64 bytes() const { return m_bytes; }
    qint64 elapsedMs() const { return m_clock.elapsed(); }
    // The verified file, once finished() reported success.
    QString filePath() const { return m_file.fileName(); }
    // Removes the verified file if it was not installed.
    void discard();

Q_SIGNALS:
    void progressed(qint64 bytes);
    void finished(DownloadResult result, const QString &reason);

private:
    bool createPartFile();
    void pump();
    void schedulePump(qint64 delayMs);
    bool store(const QByteArray &chunk);
    void complete();
    void fail(DownloadResult result, const QString &reason);
    void stop();
    void checkStall();

    CatalogUpdate m_update;
    QString m_folder;
    QNetworkAccessManager *m_network;
    Settings m_settings;
    PayloadSource *m_source = nullptr;
    QFile m_file;
    Sha256 m_hash;
    QElapsedTimer m_clock;
    RateLimiter m_limiter;
    QTimer m_pumpTimer;
    QTimer m_watchdog;
    qint64 m_bytes = 0;
    qint64 m_lastActivityMs = 0;
    bool m_done = false;
};
