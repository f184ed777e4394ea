// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/Transfer.h"

#include "base/AgentLog.h"
#include "download/FileSource.h"
#include "download/HttpSource.h"

#include "base/WriteAll.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Contract::DownloadResult;

namespace {

// Large enough for full speed, small enough that one read never keeps the
// bus waiting.
constexpr qint64 ChunkBytes = 256 * 1024;
constexpr int WatchdogIntervalMs = 250;
constexpr qint64 MetaBytes = 4096;

// Bounds one turn of the event loop spent copying.
constexpr qint64 TurnBudgetMs = 4;

// Transfers alive on the event loop's thread.
int liveTransfers = 0;

QString failedBecause(const QString &detail)
{
    return u"The download failed: "_s % detail % u'.';
}

} // namespace

Transfer::Transfer(const ProductUpdate &update, const QString &folder,
                   Network *network, const Settings &settings, QObject *parent)
    : QObject(parent)
    , m_update(update)
    , m_folder(folder)
    , m_network(network)
    , m_settings(settings)
    , m_limiter(settings.rateLimit, 0, settings.totalLimit)
{
    ++liveTransfers;
    m_pumpTimer.setSingleShot(true);
    connect(&m_pumpTimer, &QTimer::timeout, this, &Transfer::pump);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &Transfer::startTry);
    m_watchdog.setInterval(WatchdogIntervalMs);
    connect(&m_watchdog, &QTimer::timeout, this, &Transfer::checkStall);
}

// A download that did not end keeps its partial file for the next one.
Transfer::~Transfer()
{
    if (!m_done)
        abandon();
    // The heap keeps the chunks' memory while downloads run (main.cpp);
    // once none runs it goes back.
    if (--liveTransfers == 0) {
        m_part.close();
        malloc_trim(0);
    }
}

void Transfer::abandon()
{
    // A file is copied from its start anyway.
    if (m_update.url.isLocalFile()) {
        cancel();
        return;
    }
    stop();
    m_part.close();
}

QString Transfer::notSaved(const QString &detail)
{
    return u"The download could not be saved: "_s % detail % u'.';
}

void Transfer::start()
{
    // Once only: a second start would open a second source into the file.
    if (m_source || m_done)
        return;
    m_clock.start();
    m_limiter = RateLimiter(m_settings.rateLimit, 0, m_settings.totalLimit);
    if (!createPartFile())
        return;
    if (m_bytes > 0)
        Q_EMIT holding(m_bytes);
    startTry();
}

void Transfer::startTry()
{
    if (m_done)
        return;
    ++m_tries;
    m_tryBytes = 0;
    m_tryChecked = false;
    if (m_source) {
        m_source->disconnect(this);
        m_source->abort();
        m_source->deleteLater();
    }
    // A file is copied from its start each time.
    if (m_update.url.isLocalFile() || m_fromZeroNext) {
        m_fromZeroNext = false;
        if (m_bytes > 0 && !restartFile())
            return;
    }
    if (m_update.url.isLocalFile())
        m_source = new FileSource(m_update.url.toLocalFile(), this);
    else
        m_source = new HttpSource(m_update.url, m_network, m_update.size, m_bytes,
                                  m_bytes > 0 ? m_validator : QByteArray(), this);
    connect(m_source, &PayloadSource::readyRead, this, &Transfer::pump);
    connect(m_source, &PayloadSource::finished, this, &Transfer::pump);
    m_lastActivityMs = m_clock.elapsed();
    m_watchdog.start();
    qCInfo(lcDownload).noquote() << (m_tries == 1 ? "start" : "try") << AgentLog::cut(m_update.url.toDisplayString())
                                 << "from byte" << m_bytes << "->" << AgentLog::cut(m_part.path());
    m_source->start();
}

bool Transfer::tryNextMirror(const QString &reason, bool fromZero)
{
    if (m_mirror >= m_update.mirrorUrls.size() || m_tries >= MaxTries)
        return false;
    const QUrl next = m_update.mirrorUrls.at(m_mirror++);
    qCInfo(lcDownload).noquote() << "failed" << AgentLog::cut(m_update.id) << "from"
                                 << AgentLog::cut(m_update.url.toDisplayString()) << "-"
                                 << AgentLog::cut(reason) << "- trying the next feed address";
    m_pumpTimer.stop();
    m_update.url = next;
    // Another server's validator says nothing of these bytes; the whole
    // file's SHA-256 still decides, with one more try from byte 0.
    m_validator.clear();
    m_failuresInRow = 0;
    m_fullRetryDone = false;
    m_resumed = m_bytes > 0 && !fromZero;
    m_fromZeroNext = fromZero || m_fromZeroNext;
    startTry();
    return true;
}

bool Transfer::restartFile()
{
    QString why;
    if (!m_part.restart(&why) || !m_part.reserve(m_update.size, &why)) {
        fail(DownloadResult::LocalFileFailed, notSaved(why));
        return false;
    }
    m_bytes = 0;
    m_resumed = false;
    return true;
}

void Transfer::tryFailed(DownloadResult result, const QString &reason, bool transient)
{
    m_failuresInRow = m_tryBytes >= ProgressBytes ? 0 : m_failuresInRow + 1;
    const bool retry = transient && m_settings.retries > 0 && m_failuresInRow <= m_settings.retries
                       && m_tries < MaxTries;
    if (!retry) {
        if (!tryNextMirror(reason, false))
            fail(result, reason);
        return;
    }
    m_pumpTimer.stop();
    m_watchdog.stop();
    m_source->disconnect(this);
    m_source->abort();
    static constexpr int Waits[] = {1, 2, 4, 8, 16};
    const int asked = m_source->retryAfterSeconds();
    const int backoff = m_failuresInRow == 0 ? Waits[0]
                        : m_failuresInRow <= 5 ? Waits[m_failuresInRow - 1]
                                               : 30;
    const int seconds = asked > 0 ? asked : backoff;
    qCInfo(lcDownload).noquote() << "try" << m_tries << "of" << AgentLog::cut(m_update.id)
                                 << "failed -" << AgentLog::cut(reason) << "- again in" << seconds
                                 << "s";
    m_retryTimer.start(seconds * 1000);
    Q_EMIT waiting(seconds);
}

bool Transfer::createPartFile()
{
    QString why;
    if (!QDir().mkpath(m_folder)) {
        fail(DownloadResult::LocalFileFailed, notSaved(u"cannot create the folder "_s % m_folder));
        return false;
    }
    if (!m_part.open(m_folder, m_update.fileName, m_update.sha256, &why)
        || !m_part.reserve(m_update.size, &why)) {
        fail(DownloadResult::LocalFileFailed, notSaved(why));
        return false;
    }
    m_bytes = m_part.written();
    if (m_bytes == 0)
        return true;
    // Whole, or more than the whole: nothing to ask for; from the start.
    if (m_bytes >= m_update.size || m_update.url.isLocalFile())
        return restartFile();
    readValidator();
    m_resumed = true;
    qCInfo(lcDownload).noquote() << "resuming" << AgentLog::cut(m_update.id) << "from the"
                                 << m_bytes << "bytes held in" << AgentLog::cut(m_part.path());
    return true;
}

// The validators file is small and ours: anything else is no validator.
void Transfer::readValidator()
{
    QFile file(m_part.metaPath());
    if (!file.open(QIODevice::ReadOnly) || file.size() > MetaBytes)
        return;
    const QJsonObject meta = QJsonDocument::fromJson(file.read(MetaBytes)).object();
    if (meta.value(u"url"_s).toString() != m_update.url.toString())
        return;
    const QString etag = meta.value(u"etag"_s).toString();
    m_validator = (etag.isEmpty() ? meta.value(u"lastModified"_s).toString() : etag).toLatin1();
}

void Transfer::writeValidator()
{
    const bool isEtag = m_validator.startsWith('"');
    const QJsonObject meta{{u"url"_s, m_update.url.toString()},
                           {u"etag"_s, isEtag ? QString::fromLatin1(m_validator) : QString()},
                           {u"lastModified"_s, isEtag ? QString() : QString::fromLatin1(m_validator)}};
    const QByteArray bytes = QJsonDocument(meta).toJson(QJsonDocument::Compact);
    const int fd = ::open(QFile::encodeName(m_part.metaPath()).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
        if (bytes.size() <= MetaBytes)
            writeAll(fd, bytes);
        ::close(fd);
    }
}

void Transfer::pump()
{
    if (m_done || m_verifying)
        return;
    // Several chunks a turn when the source has them, but never so many
    // that a bus call waits noticeably.
    QElapsedTimer turn;
    turn.start();
    bool moved = false;
    while (turn.elapsed() < TurnBudgetMs) {
        const qint64 now = m_clock.elapsed();
        const qint64 available = m_source->bytesAvailable();
        if (available <= 0)
            break;
        m_lastActivityMs = now;
        if (!m_tryChecked) {
            m_tryChecked = true;
            // A 200 to a Range request: the whole payload again, this try.
            if (m_source->offset() == 0 && m_bytes > 0 && !restartFile())
                return;
            m_resumed = m_resumed || m_bytes > 0;
            if (m_bytes == 0) {
                m_validator = m_source->validator();
                if (!m_update.url.isLocalFile())
                    writeValidator();
            }
        }
        const qint64 allowed = std::min(m_limiter.allowance(now), m_source->chunkBytes(ChunkBytes));
        if (allowed <= 0)
            break;
        const qint64 stored = store(std::min(available, allowed));
        if (stored < 0)
            return;
        if (stored == 0)
            break;
        moved = true;
    }
    if (moved)
        Q_EMIT progressed(m_bytes);
    if (m_done)
        return;
    const qint64 left = m_source->bytesAvailable();
    if (m_source->isFinished() && left == 0)
        complete();
    else if (left > 0)
        schedulePump(m_limiter.waitMs(std::min(left, ChunkBytes), m_clock.elapsed()));
}

void Transfer::schedulePump(qint64 delayMs)
{
    if (!m_pumpTimer.isActive() || m_pumpTimer.remainingTime() > delayMs)
        m_pumpTimer.start(int(delayMs));
}

qint64 Transfer::store(qint64 size)
{
    if (m_bytes + size > m_update.size) {
        fail(DownloadResult::WrongSize, failedBecause(u"the source sent more than the expected "_s
                                                      % QString::number(m_update.size)
                                                      % u" bytes"_s));
        return -1;
    }
    QString error;
    const qint64 stored = m_source->copyTo(m_part, size, &error);
    if (stored < 0) {
        fail(DownloadResult::LocalFileFailed, notSaved(error));
        return -1;
    }
    m_limiter.consume(stored);
    m_bytes += stored;
    m_tryBytes += stored;
    return stored;
}

void Transfer::complete()
{
    // Once bytes have come, a broken line is reported as a short transfer
    // whatever the network layer made of it: that depends on timing.
    const QString sourceError = m_source->errorText();
    const bool shortTransfer = m_bytes > 0 && m_bytes < m_update.size;
    const bool remote = !m_update.url.isLocalFile();
    // A part other than the rest, or none (416): from byte 0 next time.
    m_fromZeroNext = m_source->offset() < 0;
    if (!sourceError.isEmpty() && !shortTransfer) {
        tryFailed(DownloadResult::SourceFailed, failedBecause(sourceError), m_source->isTransient());
        return;
    }
    if (m_bytes != m_update.size) {
        tryFailed(DownloadResult::WrongSize,
                  failedBecause(u"the transfer ended after "_s % QString::number(m_bytes) % u" of "_s
                                % QString::number(m_update.size) % u" bytes"_s
                                % (sourceError.isEmpty() ? QString() : u" ("_s % sourceError % u')')),
                  remote);
        return;
    }
    // The bytes held from before may still be hashing: the verdict comes
    // when they are, not by waiting here on the bus's thread.
    m_pumpTimer.stop();
    m_watchdog.stop();
    m_verifying = true;
    m_part.whenHashed(this, [this](const QByteArray &digest) {
        if (!m_done && m_verifying)
            verify(digest);
    });
}

void Transfer::verify(const QByteArray &digest)
{
    m_verifying = false;
    if (digest != m_update.sha256) {
        // The bytes held from before are not trusted: once more from byte 0.
        if (m_resumed && !m_fullRetryDone && m_tries < MaxTries) {
            m_fullRetryDone = true;
            qCInfo(lcDownload).noquote() << "resumed" << AgentLog::cut(m_update.id)
                                         << "fails its checksum; downloading it again from byte 0";
            m_fromZeroNext = true;
            m_pumpTimer.stop();
            startTry();
            return;
        }
        const QString damaged = u"The downloaded file is damaged (checksum mismatch)."_s;
        if (!tryNextMirror(damaged, true))
            fail(DownloadResult::ChecksumMismatch, damaged);
        return;
    }
    stop();
    ::unlink(QFile::encodeName(m_part.metaPath()).constData());
    qCInfo(lcDownload).noquote() << "verified" << AgentLog::cut(m_update.id) << m_bytes
                                 << "bytes in" << m_clock.elapsed() << "ms";
    Q_EMIT finished(DownloadResult::Success, QString());
}

void Transfer::fail(DownloadResult result, const QString &reason)
{
    stop();
    // What arrived may be resumed by the next download, unless it is wrong.
    if (result == DownloadResult::ChecksumMismatch || m_bytes == 0 || m_update.url.isLocalFile())
        discard();
    else
        m_part.close();
    qCInfo(lcDownload).noquote() << "failed" << AgentLog::cut(m_update.id) << "code" << int(result)
                                 << "-" << AgentLog::cut(reason);
    Q_EMIT finished(result, reason);
}

void Transfer::stop()
{
    m_done = true;
    m_verifying = false;
    m_pumpTimer.stop();
    m_retryTimer.stop();
    m_watchdog.stop();
    if (m_source)
        m_source->abort();
}

void Transfer::cancel()
{
    stop();
    discard();
}

void Transfer::discard()
{
    m_part.remove();
}

void Transfer::checkStall()
{
    const qint64 idle = m_clock.elapsed() - m_lastActivityMs;
    if (idle <= m_settings.stallTimeoutMs)
        return;
    tryFailed(DownloadResult::TimedOut,
              failedBecause(u"no data arrived for "_s
                            % QString::number(double(m_settings.stallTimeoutMs) / 1000.0)
                            % u" seconds"_s),
              !m_update.url.isLocalFile());
}
