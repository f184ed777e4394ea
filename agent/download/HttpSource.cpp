// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/HttpSource.h"

#include "download/PartFile.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

using namespace Qt::StringLiterals;

namespace {

// Bounds what Qt buffers ahead of a rate-limited reader; TCP then holds
// the sender back.
constexpr qint64 ReadBufferBytes = 512 * 1024;
constexpr int MaxRedirects = 10;

} // namespace

HttpSource::HttpSource(const QUrl &url, QNetworkAccessManager *network, int transferTimeoutMs,
                       QObject *parent)
    : PayloadSource(parent)
    , m_url(url)
    , m_network(network)
    , m_transferTimeoutMs(transferTimeoutMs)
{
}

HttpSource::~HttpSource()
{
    abort();
}

void HttpSource::start()
{
    QNetworkRequest request(m_url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    request.setTransferTimeout(m_transferTimeoutMs);
    // The checksum is of the file itself, not of a compressed form of it.
    request.setRawHeader("Accept-Encoding", "identity");
    m_reply = m_network->get(request);
    m_reply->setReadBufferSize(ReadBufferBytes);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        if (checkStatus())
            Q_EMIT readyRead();
    });
    connect(m_reply, &QNetworkReply::finished, this, &HttpSource::onFinished);
}

// An error page is not the payload: refuse its body.
bool HttpSource::checkStatus()
{
    if (m_refused || !m_reply)
        return false;
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || (status.toInt() >= 200 && status.toInt() < 300))
        return true;
    const QString reason = m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    m_error = u"HTTP "_s % QString::number(status.toInt())
              % (reason.isEmpty() ? QString() : u' ' % reason) % u" from "_s
              % m_reply->url().toDisplayString();
    if (status.toInt() >= 300 && status.toInt() < 400)
        m_error += u" (redirect not followed)"_s;
    m_refused = true;
    m_reply->abort();
    return false;
}

void HttpSource::onFinished()
{
    if (m_finished)
        return;
    m_finished = true;
    if (checkStatus() && m_reply->error() != QNetworkReply::NoError) {
        if (m_reply->error() == QNetworkReply::OperationCanceledError)
            m_error = u"no answer from "_s % m_url.host() % u" in time"_s;
        else
            m_error = m_reply->errorString();
    }
    Q_EMIT finished();
}

qint64 HttpSource::bytesAvailable() const
{
    // What arrived before a broken line still counts.
    return m_reply && !m_refused ? m_reply->bytesAvailable() : 0;
}

// Whatever Qt buffered, up to its read buffer: a whole block taken at once
// comes without a copy.
qint64 HttpSource::chunkBytes(qint64 suggested) const
{
    return std::max(suggested, ReadBufferBytes);
}

qint64 HttpSource::copyTo(PartFile &part, qint64 maxSize, QString *error)
{
    if (!m_reply || m_refused)
        return 0;
    // As a QByteArray: a whole block Qt buffered comes without a copy, and
    // the hashing thread shares it rather than reading it back.
    const QByteArray chunk = m_reply->read(maxSize);
    return part.append(chunk, error) ? chunk.size() : -1;
}

bool HttpSource::isFinished() const
{
    return m_finished || !m_error.isEmpty();
}

void HttpSource::abort()
{
    if (!m_reply)
        return;
    m_reply->disconnect(this);
    m_reply->abort();
    m_reply->deleteLater();
    m_reply = nullptr;
}
