// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/HttpSource.h"

#include "download/PartFile.h"
#include "net/HttpRequest.h"

using namespace Qt::StringLiterals;

namespace {

// What may wait unread before libcurl stops reading: a rate-limited reader
// then holds the sender back through TCP.
constexpr qint64 ReadBufferBytes = 512 * 1024;

// Statuses worth another try: the server may answer later.
bool isTransientStatus(int status)
{
    return status == 408 || status == 425 || status == 429 || status == 500 || status == 502
           || status == 503 || status == 504;
}

} // namespace

HttpSource::HttpSource(const QUrl &url, Network *network, qint64 size, qint64 from,
                       const QByteArray &validator, QObject *parent)
    : PayloadSource(parent)
    , m_url(url)
    , m_network(network)
    , m_size(size)
    , m_from(from)
    , m_heldValidator(validator)
{
}

HttpSource::~HttpSource()
{
    abort();
}

void HttpSource::start()
{
    if (m_request)
        return;
    HttpRequest::Options options;
    // A 200 may still come: the whole payload is allowed.
    options.bodyLimit = m_size;
    options.pauseAbove = ReadBufferBytes;
    if (m_from > 0) {
        options.headers.append("Range: bytes=" + QByteArray::number(m_from) + '-');
        if (!m_heldValidator.isEmpty())
            options.headers.append("If-Range: " + m_heldValidator);
    }
    m_request = new HttpRequest(m_network, m_url, options, this);
    connect(m_request, &HttpRequest::headersReceived, this, &HttpSource::onHeaders);
    connect(m_request, &HttpRequest::readyRead, this, [this] {
        if (!m_refused)
            Q_EMIT readyRead();
    });
    connect(m_request, &HttpRequest::finished, this, &HttpSource::onFinished);
    m_request->start();
}

// A 206 continues the bytes held only when it is exactly the rest; a 200
// is the whole payload again.
void HttpSource::onHeaders()
{
    const int status = m_request->status();
    if (status == 200 || (status == 206 && m_from == 0)) {
        m_offset = 0;
        return;
    }
    if (status != 206)
        return;
    const QByteArray expected = "bytes " + QByteArray::number(m_from) + '-'
                                + QByteArray::number(m_size - 1) + '/' + QByteArray::number(m_size);
    if (m_request->header("content-range") == expected) {
        m_offset = m_from;
        return;
    }
    m_refused = m_transient = true;
    m_offset = -1;
    m_error = u"the server sent another part than the rest ("_s
              % QString::fromLatin1(m_request->header("content-range").left(100)) % u')';
    m_request->abort();
    m_finished = true;
    Q_EMIT finished();
}

void HttpSource::onFinished()
{
    m_finished = true;
    const int status = m_request->status();
    if (!m_request->errorText().isEmpty()) {
        m_error = m_request->errorText();
        m_transient = m_request->isTransient();
    } else if (status < 200 || status >= 300) {
        // An error page is not the payload.
        m_refused = true;
        m_error = m_request->statusText();
        if (status >= 300 && status < 400)
            m_error += u" (redirect not followed)"_s;
        m_transient = isTransientStatus(status) || status == 416;
        if (status == 416)
            m_offset = -1;
    }
    Q_EMIT finished();
}

int HttpSource::retryAfterSeconds() const
{
    bool ok = false;
    const int seconds = m_request ? m_request->header("retry-after").toInt(&ok) : 0;
    return ok && seconds >= 1 && seconds <= 60 ? seconds : 0;
}

// A strong ETag, else the Last-Modified date.
QByteArray HttpSource::validator() const
{
    if (!m_request)
        return {};
    const QByteArray etag = m_request->header("etag");
    if (!etag.isEmpty() && !etag.startsWith("W/"))
        return etag;
    return m_request->header("last-modified");
}

qint64 HttpSource::bytesAvailable() const
{
    // What arrived before a broken line still counts.
    return m_request && !m_refused ? m_request->bytesAvailable() : 0;
}

qint64 HttpSource::chunkBytes(qint64 suggested) const
{
    return std::max(suggested, ReadBufferBytes);
}

qint64 HttpSource::copyTo(PartFile &part, qint64 maxSize, QString *error)
{
    if (!m_request || m_refused)
        return 0;
    // A whole chunk, not joined again; the hashing thread shares it rather
    // than reading it back.
    const QByteArray chunk = m_request->read(std::min(maxSize, m_request->nextChunkBytes()));
    return part.append(chunk, error) ? chunk.size() : -1;
}

bool HttpSource::isFinished() const
{
    return m_finished;
}

void HttpSource::abort()
{
    if (m_request)
        m_request->abort();
}
