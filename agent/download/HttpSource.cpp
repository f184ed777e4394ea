// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/HttpSource.h"

#include "download/PartFile.h"
#include "net/HttpRequest.h"

using namespace Qt::StringLiterals;

namespace {

// What may wait unread before libcurl stops reading: a rate-limited reader
// then holds the sender back through TCP.
constexpr qint64 ReadBufferBytes = 512 * 1024;

} // namespace

HttpSource::HttpSource(const QUrl &url, Network *network, qint64 size, QObject *parent)
    : PayloadSource(parent)
    , m_url(url)
    , m_network(network)
    , m_size(size)
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
    options.bodyLimit = m_size;
    options.pauseAbove = ReadBufferBytes;
    m_request = new HttpRequest(m_network, m_url, options, this);
    connect(m_request, &HttpRequest::readyRead, this, &PayloadSource::readyRead);
    connect(m_request, &HttpRequest::finished, this, &HttpSource::onFinished);
    m_request->start();
}

void HttpSource::onFinished()
{
    m_finished = true;
    const int status = m_request->status();
    if (!m_request->errorText().isEmpty()) {
        m_error = m_request->errorText();
    } else if (status < 200 || status >= 300) {
        // An error page is not the payload.
        m_refused = true;
        m_error = m_request->statusText();
        if (status >= 300 && status < 400)
            m_error += u" (redirect not followed)"_s;
    }
    Q_EMIT finished();
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
    // The hashing thread shares the chunk rather than reading it back.
    const QByteArray chunk = m_request->read(maxSize);
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
