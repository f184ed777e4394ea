// SPDX-License-Identifier: GPL-3.0-or-later
#include "feeds/FeedFetch.h"

#include "base/AgentLog.h"
#include "feeds/Feed.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

using namespace Qt::StringLiterals;

namespace {

constexpr int MaxRedirects = 10;

} // namespace

FeedFetch::FeedFetch(const QUrl &feedUrl, QNetworkAccessManager *network, int timeoutMs,
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
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
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
    QNetworkRequest request(url);
    // Redirects as for payloads, and never to another scheme: an https feed
    // stays on https, an http one cannot be moved to a file.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    // The signature is of the exact bytes, not of a compressed form.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    if (conditional) {
        if (!m_validators.etag.isEmpty())
            request.setRawHeader("If-None-Match", m_validators.etag);
        if (!m_validators.lastModified.isEmpty())
            request.setRawHeader("If-Modified-Since", m_validators.lastModified);
    }
    m_limit = m_gettingSignature ? FeedFile::MaxSignatureBytes : FeedFile::MaxBytes;
    m_body.clear();
    m_reply = m_network->get(request);
    connect(m_reply, &QNetworkReply::redirected, this, [this](const QUrl &target) {
        if (!m_reply)
            return;
        if (target.scheme() == m_url.scheme()) {
            Q_EMIT m_reply->redirectAllowed();
            return;
        }
        finish(Outcome::Failed, u"refused a redirect from "_s
                                    % AgentLog::cut(m_reply->url().toDisplayString()) % u" to "_s
                                    % AgentLog::cut(target.toDisplayString())
                                    % u" (another scheme)"_s);
    });
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > m_limit)
            finish(Outcome::Failed, FeedFile::tooLarge(m_gettingSignature ? u"signature file"_s : u"feed"_s,
                                             m_limit));
    });
    connect(m_reply, &QNetworkReply::readyRead, this, &FeedFetch::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &FeedFetch::onFinished);
}

void FeedFetch::onReadyRead()
{
    if (!m_reply)
        return;
    m_body += m_reply->read(m_limit + 1 - m_body.size());
    if (m_body.size() > m_limit)
        finish(Outcome::Failed, FeedFile::tooLarge(m_gettingSignature ? u"signature file"_s : u"feed"_s,
                                         m_limit));
}

void FeedFetch::onFinished()
{
    if (m_finished || !m_reply)
        return;
    onReadyRead();
    if (m_finished)
        return;
    QNetworkReply *reply = m_reply;
    reply->deleteLater();
    m_reply = nullptr;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!m_gettingSignature && status == 304 && !m_validators.isEmpty()) {
        finish(Outcome::NotModified);
        return;
    }
    if (reply->error() != QNetworkReply::NoError || status != 200) {
        const QString reason =
            AgentLog::cut(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
        const QString where = AgentLog::cut(reply->url().toDisplayString());
        finish(Outcome::Failed,
               status != 0 ? QString(u"HTTP "_s % QString::number(status)
                                     % (reason.isEmpty() ? QString() : u' ' % reason)
                                     % u" from "_s % where)
                           : QString(where % u": "_s % AgentLog::cut(reply->errorString())));
        return;
    }
    if (!m_gettingSignature) {
        m_feed = m_body;
        m_newValidators = {reply->rawHeader("ETag"), reply->rawHeader("Last-Modified")};
        m_gettingSignature = true;
        get(signatureUrl(m_url), false);
        return;
    }
    m_signature = m_body;
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
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    Q_EMIT done();
}
