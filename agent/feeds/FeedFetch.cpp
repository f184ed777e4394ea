// SPDX-License-Identifier: GPL-3.0-or-later
#include "feeds/FeedFetch.h"

#include "feeds/Feed.h"
#include "net/HttpRequest.h"

using namespace Qt::StringLiterals;

FeedFetch::FeedFetch(const QUrl &feedUrl, Network *network, int timeoutMs,
                     const Validators &validators, QObject *parent)
    : QObject(parent)
    , m_url(feedUrl)
    , m_network(network)
    , m_timeoutMs(timeoutMs)
    , m_validators(validators)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        finish(Outcome::Failed, u"no complete answer from "_s % m_url.host() % u" within "_s
                                    % QString::number(m_timeoutMs / 1000.0) % u" s"_s);
    });
}

FeedFetch::~FeedFetch()
{
    delete m_request;
}

QUrl FeedFetch::signatureUrl(const QUrl &feedUrl)
{
    QUrl url = feedUrl;
    url.setPath(feedUrl.path() + u".sig"_s);
    return url;
}

void FeedFetch::start()
{
    if (m_url.isLocalFile()) {
        fetchLocal();
        return;
    }
    m_deadline.start(m_timeoutMs);
    get(m_url, !m_validators.isEmpty());
}

void FeedFetch::fetchLocal()
{
    const QString error = FeedFile::readFiles(m_url.toLocalFile(), &m_feed, &m_signature);
    if (!error.isEmpty()) {
        finish(Outcome::Failed, error);
        return;
    }
    finish(Outcome::Fetched);
}

void FeedFetch::get(const QUrl &url, bool conditional)
{
    HttpRequest::Options options;
    options.bodyLimit = m_gettingSignature ? FeedFile::MaxSignatureBytes : FeedFile::MaxBytes;
    if (conditional) {
        if (!m_validators.etag.isEmpty())
            options.headers.append("If-None-Match: " + m_validators.etag);
        if (!m_validators.lastModified.isEmpty())
            options.headers.append("If-Modified-Since: " + m_validators.lastModified);
    }
    if (m_request) {
        // Still in its own finished() signal.
        m_request->disconnect(this);
        m_request->deleteLater();
    }
    m_request = new HttpRequest(m_network, url, options);
    connect(m_request, &HttpRequest::headersReceived, this, [this] {
        const qint64 length = m_request->header("content-length").toLongLong();
        if (m_request->status() == 200 && length > m_request->bodyLimit())
            finishTooLarge();
    });
    connect(m_request, &HttpRequest::finished, this, &FeedFetch::onFinished);
    m_request->start();
}

void FeedFetch::finishTooLarge()
{
    finish(Outcome::Failed, FeedFile::tooLarge(m_gettingSignature ? u"signature file"_s : u"feed"_s,
                                               m_request->bodyLimit()));
}

void FeedFetch::onFinished()
{
    if (m_finished)
        return;
    const int status = m_request->status();
    if (!m_gettingSignature && status == 304 && !m_validators.isEmpty()) {
        finish(Outcome::NotModified);
        return;
    }
    if (!m_request->errorText().isEmpty()) {
        finish(Outcome::Failed, m_request->errorText());
        return;
    }
    if (status != 200) {
        finish(Outcome::Failed, m_request->statusText());
        return;
    }
    if (m_request->isOverLimit()) {
        finishTooLarge();
        return;
    }
    const QByteArray body = m_request->read(m_request->bytesAvailable());
    if (!m_gettingSignature) {
        m_feed = body;
        m_newValidators = {m_request->header("etag"), m_request->header("last-modified")};
        m_gettingSignature = true;
        get(signatureUrl(m_url), false);
        return;
    }
    m_signature = body;
    finish(Outcome::Fetched);
}

void FeedFetch::finish(Outcome outcome, const QString &error)
{
    if (m_finished)
        return;
    m_finished = true;
    m_deadline.stop();
    m_outcome = outcome;
    m_error = error;
    if (m_request) {
        m_request->disconnect(this);
        m_request->abort();
        m_request->deleteLater();
        m_request = nullptr;
    }
    Q_EMIT done();
}
