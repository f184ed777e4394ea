// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/PayloadDownload.h"

#include "base/AgentLog.h"
#include "base/FileHasher.h"
#include "download/DeltaDecoder.h"

#include <QFile>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Contract::DownloadResult;

PayloadDownload::PayloadDownload(const ProductUpdate &update, const QString &folder,
                                 FileHasher *hasher, Network *network,
                                 const Transfer::Settings &settings, QObject *parent)
    : QObject(parent)
    , m_update(update)
    , m_folder(folder)
    , m_hasher(hasher)
    , m_network(network)
    , m_settings(settings)
{
}

PayloadDownload::~PayloadDownload()
{
    stopDecoding();
}

QString PayloadDownload::inPlacePath() const
{
    return m_folder % u'/' % m_update.fileName;
}

void PayloadDownload::start()
{
    if (m_clock.isValid())
        return;
    m_clock.start();
    struct stat st = {};
    if (m_update.deltas.isEmpty() || !m_hasher
        || ::lstat(QFile::encodeName(inPlacePath()).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        downloadWhole({});
        return;
    }
    // The file in place decides which delta fits, so it is hashed first,
    // off this thread.
    m_hasher->hashPath(inPlacePath(), st.st_size, this, [this](const FileHasher::Result &hashed) {
        tryDelta(hashed.sha256);
    });
}

void PayloadDownload::tryDelta(const QByteArray &inPlace)
{
    const auto fits = std::find_if(m_update.deltas.cbegin(), m_update.deltas.cend(),
                                   [&](const ProductUpdate::Delta &d) { return d.fromSha256 == inPlace; });
    if (inPlace.isEmpty() || fits == m_update.deltas.cend()) {
        downloadWhole({});
        return;
    }
    m_delta = *fits;
    // The delta goes through the same download as any payload: into a
    // hidden file beside the one in place, size and SHA-256 checked.
    ProductUpdate asPayload = m_update;
    asPayload.url = m_delta.url;
    asPayload.mirrorUrls = m_delta.mirrorUrls;
    asPayload.size = m_delta.size;
    asPayload.sha256 = m_delta.sha256;
    asPayload.deltas.clear();
    qCInfo(lcDownload).noquote() << AgentLog::cut(m_update.id) << "from a delta of"
                                 << m_delta.size << "bytes against" << AgentLog::cut(inPlacePath());
    startTransfer(asPayload, &PayloadDownload::onDeltaDownloaded);
}

void PayloadDownload::startTransfer(const ProductUpdate &what,
                                    void (PayloadDownload::*onFinished)(DownloadResult, const QString &))
{
    m_transfer = new Transfer(what, m_folder, m_network, m_settings, this);
    connect(m_transfer, &Transfer::progressed, this, &PayloadDownload::progressed);
    connect(m_transfer, &Transfer::waiting, this, &PayloadDownload::waiting);
    connect(m_transfer, &Transfer::holding, this, &PayloadDownload::holding);
    connect(m_transfer, &Transfer::finished, this, onFinished);
    Q_EMIT expecting(what.size);
    m_transfer->start();
}

void PayloadDownload::onDeltaDownloaded(DownloadResult result, const QString &reason)
{
    if (result != DownloadResult::Success) {
        downloadWhole(reason);
        return;
    }
    decode();
}

// On a thread of its own: decoding a large payload takes seconds.
void PayloadDownload::decode()
{
    QString error;
    const int oldFd = ::open(QFile::encodeName(inPlacePath()).constData(),
                             O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (oldFd < 0) {
        downloadWhole(u"the file in place cannot be opened"_s);
        return;
    }
    const int deltaFd = m_transfer->partFile().duplicate();
    const int outFd = m_decoded.create(m_folder, m_update.fileName, &error)
                              && m_decoded.reserve(m_update.size, &error)
                          ? m_decoded.duplicate()
                          : -1;
    if (deltaFd < 0 || outFd < 0) {
        for (const int fd : {oldFd, deltaFd, outFd}) {
            if (fd >= 0)
                ::close(fd);
        }
        downloadWhole(error.isEmpty() ? u"the delta's file is gone"_s : error);
        return;
    }
    m_decoding = std::make_shared<Decoding>();
    std::thread([this, shared = m_decoding, oldFd, deltaFd, outFd, deltaSize = m_delta.size,
                 size = m_update.size] {
        const DeltaDecoder::Result result =
            DeltaDecoder::decode(oldFd, deltaFd, deltaSize, outFd, size, &shared->stop);
        for (const int fd : {oldFd, deltaFd, outFd})
            ::close(fd);
        const std::lock_guard lock(shared->mutex);
        // This object lives while the lock is held; a call posted to it is
        // dropped if it is deleted before the call runs.
        if (!shared->abandoned)
            QMetaObject::invokeMethod(
                this,
                [this, shared, result] {
                    if (m_decoding == shared)
                        onDecoded(result.sha256, result.error);
                },
                Qt::QueuedConnection);
    }).detach();
}

void PayloadDownload::onDecoded(const QByteArray &sha256, const QString &error)
{
    m_decoding.reset();
    m_transfer->discard();
    if (!error.isEmpty()) {
        downloadWhole(error);
        return;
    }
    QString changed;
    if (sha256 != m_update.sha256 || !m_decoded.isStill(m_update.size, &changed)) {
        downloadWhole(changed.isEmpty() ? u"the delta does not make the update's payload (checksum mismatch)"_s
                                        : changed);
        return;
    }
    m_fromDelta = true;
    qCInfo(lcDownload).noquote() << "verified" << AgentLog::cut(m_update.id) << m_update.size
                                 << "bytes from a delta of" << m_delta.size << "in" << elapsedMs()
                                 << "ms";
    Q_EMIT progressed(m_delta.size);
    Q_EMIT finished(DownloadResult::Success, QString());
}

void PayloadDownload::downloadWhole(const QString &deltaFailure)
{
    stopDecoding();
    m_decoded.remove();
    if (m_transfer) {
        m_transfer->cancel();
        m_transfer->deleteLater();
    }
    if (!deltaFailure.isEmpty())
        qCWarning(lcDownload).noquote() << "the delta of" << AgentLog::cut(m_update.id) << "failed -"
                                        << AgentLog::cut(deltaFailure)
                                        << "- downloading the whole payload";
    startTransfer(m_update, &PayloadDownload::finished);
}

void PayloadDownload::stopDecoding()
{
    if (!m_decoding)
        return;
    const std::shared_ptr<Decoding> decoding = std::move(m_decoding);
    const std::lock_guard lock(decoding->mutex);
    decoding->abandoned = true;
    decoding->stop = true;
}

PartFile &PayloadDownload::partFile()
{
    return m_fromDelta ? m_decoded : m_transfer->partFile();
}

bool PayloadDownload::holdsFile() const
{
    return m_fromDelta ? !m_decoded.path().isEmpty() : m_transfer && m_transfer->holdsFile();
}

void PayloadDownload::discard()
{
    m_decoded.remove();
    if (m_transfer)
        m_transfer->discard();
}

void PayloadDownload::cancel()
{
    stopDecoding();
    m_decoded.remove();
    if (m_transfer)
        m_transfer->cancel();
}

void PayloadDownload::abandon()
{
    stopDecoding();
    m_decoded.remove();
    if (m_transfer)
        m_transfer->abandon();
}

void PayloadDownload::fail(DownloadResult result, const QString &reason)
{
    cancel();
    qCInfo(lcDownload).noquote() << "failed" << AgentLog::cut(m_update.id) << "code" << int(result)
                                 << "-" << AgentLog::cut(reason);
    Q_EMIT finished(result, reason);
}
