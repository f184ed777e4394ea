#include "Transfer.h"

#include "AgentLog.h"
#include "FileSource.h"
#include "HttpSource.h"

#include <QDir>
#include <QRandomGenerator>

using namespace Qt::StringLiterals;

namespace {

// Large enough for full speed, small enough that one read never keeps the
// bus waiting.
constexpr qint64 ChunkBytes = 256 * 1024;
constexpr int WatchdogIntervalMs = 250;

QString failedBecause(const QString &detail)
{
    return u"The download failed: "_s % detail % u'.';
}

} // namespace

Transfer::Transfer(const CatalogUpdate &update, const QString &folder,
                   QNetworkAccessManager *network, const Settings &settings, QObject *parent)
    : QObject(parent)
    , m_update(update)
    , m_folder(folder)
    , m_network(network)
    , m_settings(settings)
    , m_limiter(settings.rateLimit, 0)
{
    m_pumpTimer.setSingleShot(true);
    connect(&m_pumpTimer, &QTimer::timeout, this, &Transfer::pump);
    m_watchdog.setInterval(WatchdogIntervalMs);
    connect(&m_watchdog, &QTimer::timeout, this, &Transfer::checkStall);
}

Transfer::~Transfer()
{
    if (!m_done)
        cancel();
}

void Transfer::start()
{
    m_clock.start();
    m_limiter = RateLimiter(m_settings.rateLimit, 0);
    if (!createPartFile())
        return;
    if (m_update.url.isLocalFile()) {
        m_source = new FileSource(m_update.url.toLocalFile(), this);
    } else {
        // Qt's own timeout is only a backstop behind the watchdog, whose
        // message is clearer.
        const qint64 backstop = m_settings.stallTimeoutMs * 2;
        m_source = new HttpSource(m_update.url, m_network,
                                  int(std::min<qint64>(backstop, std::numeric_limits<int>::max())),
                                  this);
    }
    connect(m_source, &PayloadSource::readyRead, this, &Transfer::pump);
    connect(m_source, &PayloadSource::finished, this, &Transfer::pump);
    m_watchdog.start();
    qCInfo(lcDownload).noquote() << "start" << m_update.url.toDisplayString() << "->"
                                 << m_file.fileName();
    m_source->start();
}

bool Transfer::createPartFile()
{
    if (!QDir().mkpath(m_folder)) {
        fail(DownloadResult::LocalFileFailed,
             u"The download could not be saved: cannot create the folder "_s % m_folder % u'.');
        return false;
    }
    // Hidden and unique, so neither a reader of the folder nor a second
    // download of the same name mistakes it for the installed file.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString suffix = QString::number(QRandomGenerator::global()->generate(), 36);
        m_file.setFileName(m_folder % u"/."_s % m_update.fileName % u'.' % suffix % u".part"_s);
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return true;
    }
    const QString why = m_file.errorString();
    // The name may belong to someone else's file: never remove it.
    m_file.setFileName(QString());
    fail(DownloadResult::LocalFileFailed, u"The download could not be saved: cannot create a file in "_s
                                              % m_folder % u" ("_s % why % u")."_s);
    return false;
}

void Transfer::pump()
{
    if (m_done)
        return;
    const qint64 now = m_clock.elapsed();
    const qint64 available = m_source->bytesAvailable();
    if (available > 0) {
        m_lastActivityMs = now;
        const qint64 allowed = std::min(m_limiter.allowance(now), ChunkBytes);
        if (allowed > 0) {
            const QByteArray chunk = m_source->read(std::min(available, allowed));
            m_limiter.consume(chunk.size());
            if (!chunk.isEmpty() && !store(chunk))
                return;
            if (!chunk.isEmpty())
                Q_EMIT progressed(m_bytes);
        }
    }
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

bool Transfer::store(const QByteArray &chunk)
{
    if (m_bytes + chunk.size() > m_update.size) {
        fail(DownloadResult::WrongSize, failedBecause(u"the source sent more than the expected "_s
                                                      % QString::number(m_update.size)
                                                      % u" bytes"_s));
        return false;
    }
    if (m_file.write(chunk) != chunk.size()) {
        fail(DownloadResult::LocalFileFailed, u"The download could not be saved: "_s
                                                  % m_file.errorString() % u'.');
        return false;
    }
    m_hash.addData(chunk);
    m_bytes += chunk.size();
    return true;
}

void Transfer::complete()
{
    // Once bytes have come, a broken line is reported as a short transfer
    // whatever the network layer made of it: that depends on timing.
    const QString sourceError = m_source->errorText();
    const bool shortTransfer = m_bytes > 0 && m_bytes < m_update.size;
    if (!sourceError.isEmpty() && !shortTransfer) {
        fail(DownloadResult::SourceFailed, failedBecause(sourceError));
        return;
    }
    if (m_bytes != m_update.size) {
        fail(DownloadResult::WrongSize,
             failedBecause(u"the transfer ended after "_s % QString::number(m_bytes) % u" of "_s
                           % QString::number(m_update.size) % u" bytes"_s
                           % (sourceError.isEmpty() ? QString() : u" ("_s % sourceError % u')')));
        return;
    }
    if (!m_file.flush()) {
        fail(DownloadResult::LocalFileFailed, u"The download could not be saved: "_s
                                                  % m_file.errorString() % u'.');
        return;
    }
    m_file.close();
    if (m_hash.result() != m_update.sha256) {
        fail(DownloadResult::ChecksumMismatch,
             u"The downloaded file is damaged (checksum mismatch)."_s);
        return;
    }
    stop();
    qCInfo(lcDownload).noquote() << "verified" << m_update.id << m_bytes << "bytes in"
                                 << m_clock.elapsed() << "ms";
    Q_EMIT finished(DownloadResult::Success, QString());
}

void Transfer::fail(DownloadResult result, const QString &reason)
{
    stop();
    discard();
    qCInfo(lcDownload).noquote() << "failed" << m_update.id << "code" << int(result) << "-" << reason;
    Q_EMIT finished(result, reason);
}

void Transfer::stop()
{
    m_done = true;
    m_pumpTimer.stop();
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
    m_file.close();
    if (!m_file.fileName().isEmpty())
        m_file.remove();
}

void Transfer::checkStall()
{
    const qint64 idle = m_clock.elapsed() - m_lastActivityMs;
    if (idle <= m_settings.stallTimeoutMs)
        return;
    fail(DownloadResult::TimedOut,
         failedBecause(u"no data arrived for "_s
                       % QString::number(double(m_settings.stallTimeoutMs) / 1000.0)
                       % u" seconds"_s));
}
