// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/HttpRequest.h"

#include "base/AgentLog.h"
#include "net/Network.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

// Large reads from a fast server without a tiny write per packet.
constexpr long ReceiveBufferBytes = 256 * 1024;
constexpr qint64 JoinedChunkBytes = 512 * 1024;

bool isRedirectStatus(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// libcurl with OpenSSL falls back to the common name when a certificate has
// no subject alternative names; browsers do not, and neither do we.
int verifyWithNames(X509_STORE_CTX *store, void *flag)
{
    const int ok = X509_verify_cert(store);
    if (ok <= 0)
        return ok;
    X509 *leaf = X509_STORE_CTX_get0_cert(store);
    if (leaf && X509_get_ext_by_NID(leaf, NID_subject_alt_name, -1) < 0) {
        *static_cast<bool *>(flag) = true;
        X509_STORE_CTX_set_error(store, X509_V_ERR_HOSTNAME_MISMATCH);
        return 0;
    }
    return 1;
}

QString withoutControls(const QByteArray &text)
{
    QString clean;
    for (const QChar c : QString::fromUtf8(text)) {
        if (c.category() != QChar::Other_Control)
            clean += c;
    }
    qsizetype end = std::min(clean.size(), HttpRequest::MaxReasonChars);
    if (end < clean.size() && end > 0 && clean.at(end - 1).isHighSurrogate())
        --end;
    return clean.left(end).trimmed();
}

} // namespace

HttpRequest::HttpRequest(Network *network, const QUrl &url, const Options &options,
                         QObject *parent)
    : QObject(parent)
    , m_network(network)
    , m_url(url)
    , m_scheme(url.scheme().toLower())
    , m_options(options)
{
}

HttpRequest::~HttpRequest()
{
    stopTransfer();
}

QString HttpRequest::statusText() const
{
    return u"HTTP "_s % QString::number(m_status) % (m_reason.isEmpty() ? QString() : u' ' % m_reason)
           % u" from "_s % AgentLog::cut(m_url.toDisplayString());
}

void HttpRequest::start()
{
    if (m_easy || m_finished)
        return;
    startTransfer();
}

void HttpRequest::abort()
{
    stopTransfer();
    m_finished = true;
}

void HttpRequest::startTransfer()
{
    m_headerBytes = 0;
    m_headersTooLarge = m_headersDone = m_stoppedAtHeaders = m_transferDone = m_noNames = false;
    m_paused = false;
    m_status = 0;
    m_reason.clear();
    m_headers.clear();
    m_errorBuffer[0] = '\0';
    m_easy = curl_easy_init();
    if (!m_easy) {
        finish(u"cannot start a transfer"_s);
        return;
    }
    const QByteArray address = m_url.toEncoded();
    curl_easy_setopt(m_easy, CURLOPT_URL, address.constData());
    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(m_easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(m_easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(m_easy, CURLOPT_BUFFERSIZE, ReceiveBufferBytes);
    curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_errorBuffer);
    curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &HttpRequest::onHeader);
    curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &HttpRequest::onBody);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    // Each connection reads the trust store itself, so the check below is
    // on every context.
    curl_easy_setopt(m_easy, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    curl_easy_setopt(m_easy, CURLOPT_SSL_CTX_FUNCTION, &HttpRequest::onTlsContext);
    curl_easy_setopt(m_easy, CURLOPT_SSL_CTX_DATA, this);
    curl_slist_free_all(m_headerList);
    m_headerList = nullptr;
    for (const QByteArray &header : std::as_const(m_options.headers))
        m_headerList = curl_slist_append(m_headerList, header.constData());
    curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_headerList);
    m_network->add(this, m_easy);
}

void HttpRequest::stopTransfer()
{
    if (m_easy) {
        m_network->remove(m_easy);
        curl_easy_cleanup(m_easy);
        m_easy = nullptr;
    }
    curl_slist_free_all(m_headerList);
    m_headerList = nullptr;
}

CURLcode HttpRequest::onTlsContext(CURL *, void *context, void *self)
{
    auto *ctx = static_cast<SSL_CTX *>(context);
    // OpenSSL's own default store (SSL_CERT_FILE and SSL_CERT_DIR apply).
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_cert_verify_callback(ctx, &verifyWithNames, &static_cast<HttpRequest *>(self)->m_noNames);
    return CURLE_OK;
}

size_t HttpRequest::onHeader(char *data, size_t size, size_t count, void *self)
{
    return static_cast<HttpRequest *>(self)->takeHeader(QByteArray(data, qsizetype(size * count)));
}

size_t HttpRequest::onBody(char *data, size_t size, size_t count, void *self)
{
    return static_cast<HttpRequest *>(self)->takeBody(data, size * count);
}

size_t HttpRequest::takeHeader(const QByteArray &line)
{
    m_headerBytes += line.size();
    if (m_headerBytes > MaxHeaderBytes) {
        m_headersTooLarge = true;
        return 0;
    }
    if (line.startsWith("HTTP/")) {
        const QByteArray statusLine = line.trimmed();
        const qsizetype code = statusLine.indexOf(' ');
        const qsizetype reason = code < 0 ? -1 : statusLine.indexOf(' ', code + 1);
        m_status = statusLine.mid(code + 1, reason < 0 ? -1 : reason - code - 1).toInt();
        m_reason = reason < 0 ? QString() : withoutControls(statusLine.mid(reason + 1));
        m_headers.clear();
        return line.size();
    }
    const QByteArray trimmed = line.trimmed();
    if (trimmed.isEmpty()) {
        if (m_status >= 100 && m_status < 200)
            return line.size(); // an interim answer; the real one follows
        m_headersDone = true;
        if (m_status < 200 || m_status >= 300) {
            m_stoppedAtHeaders = true;
            return 0;
        }
        return line.size();
    }
    const qsizetype colon = trimmed.indexOf(':');
    if (colon > 0)
        m_headers.insert(trimmed.left(colon).trimmed().toLower(), trimmed.mid(colon + 1).trimmed());
    return line.size();
}

size_t HttpRequest::takeBody(const char *data, size_t size)
{
    if (m_options.pauseAbove > 0 && m_buffered >= m_options.pauseAbove) {
        m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    const qint64 room = m_options.bodyLimit + 1 - m_received;
    const qint64 take = std::min(qint64(size), room);
    if (take > 0) {
        // libcurl hands over what each read got, often a few KiB; joined
        // here, once, a reader takes whole chunks without copying them.
        if (m_chunks.empty() || m_chunks.back().size() + take > m_chunks.back().capacity()) {
            m_chunks.emplace_back();
            m_chunks.back().reserve(qsizetype(std::max(take, std::min(JoinedChunkBytes, room))));
        }
        m_chunks.back().append(data, qsizetype(take));
        m_buffered += take;
        m_received += take;
        m_newData = true;
    }
    return isOverLimit() ? 0 : size;
}

QByteArray HttpRequest::read(qint64 maxSize)
{
    QByteArray out;
    while (!m_chunks.empty() && out.size() < maxSize) {
        QByteArray &front = m_chunks.front();
        const qint64 need = maxSize - out.size();
        if (front.size() <= need) {
            if (out.isEmpty())
                out = std::move(front);
            else
                out += front;
            m_chunks.pop_front();
        } else {
            out += front.left(qsizetype(need));
            front.remove(0, qsizetype(need));
        }
    }
    m_buffered -= out.size();
    // A chunk read before it filled up gives back its reserve: whoever
    // holds it counts its bytes, not its room. (Shrinking in place does not
    // copy.)
    if (out.capacity() > out.size())
        out.squeeze();
    if (m_paused && m_easy && m_buffered < m_options.pauseAbove) {
        m_paused = false;
        curl_easy_pause(m_easy, CURLPAUSE_CONT);
        m_network->scheduleDelivery();
    }
    return out;
}

void HttpRequest::transferDone(CURLcode result)
{
    m_transferDone = true;
    m_result = result;
}

void HttpRequest::deliver()
{
    if (m_finished)
        return;
    const QPointer<HttpRequest> self(this);
    const bool redirect = m_stoppedAtHeaders && isRedirectStatus(m_status);
    if (m_headersDone && !m_headersReported && !redirect) {
        m_headersReported = true;
        Q_EMIT headersReceived();
        if (!self || m_finished)
            return;
    }
    if (m_newData) {
        m_newData = false;
        Q_EMIT readyRead();
        if (!self || m_finished)
            return;
    }
    if (m_transferDone)
        complete();
}

void HttpRequest::complete()
{
    m_transferDone = false;
    // libcurl refuses a single header line past 100 KiB itself.
    if (m_headersTooLarge || (m_result == CURLE_OUT_OF_MEMORY && !m_headersDone)) {
        finish(u"the response headers from "_s % m_url.host() % u" passed "_s
               % QString::number(MaxHeaderBytes / 1024) % u" KiB"_s);
        return;
    }
    if (m_stoppedAtHeaders && isRedirectStatus(m_status) && m_headers.contains("location")) {
        const QUrl target = m_url.resolved(QUrl::fromEncoded(m_headers.value("location")));
        QString refusal;
        if (++m_redirects > MaxRedirects)
            refusal = u"more than "_s % QString::number(MaxRedirects) % u" redirects, the last to "_s;
        else if (target.scheme().toLower() != m_scheme)
            refusal = u"refused a redirect (another scheme) to "_s;
        if (!refusal.isEmpty()) {
            finish(refusal % AgentLog::cut(target.toDisplayString()) % u" from "_s
                   % AgentLog::cut(m_url.toDisplayString()));
            return;
        }
        stopTransfer();
        m_url = target;
        startTransfer();
        return;
    }
    if (m_stoppedAtHeaders || m_result == CURLE_OK || isOverLimit()) {
        finish(QString());
        return;
    }
    switch (m_result) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_OPERATION_TIMEDOUT:
        m_transient = true;
        break;
    default:
        break;
    }
    finish(describe(m_result));
}

void HttpRequest::finish(const QString &error)
{
    stopTransfer();
    m_finished = true;
    m_error = error;
    Q_EMIT finished();
}

QString HttpRequest::describe(CURLcode result) const
{
    long osError = 0;
    if (m_easy)
        curl_easy_getinfo(m_easy, CURLINFO_OS_ERRNO, &osError);
    const QString host = m_url.host();
    const QString system = osError != 0 ? QString::fromLocal8Bit(std::strerror(int(osError)))
                                        : QString();
    const QString detail = AgentLog::cut(QString::fromLocal8Bit(
        m_errorBuffer[0] != '\0' ? m_errorBuffer : curl_easy_strerror(result)));
    switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return u"cannot find the host "_s % host;
    case CURLE_COULDNT_CONNECT:
        return system.isEmpty() ? u"cannot connect to "_s % host : system;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        if (osError == ECONNRESET)
            return u"the connection was reset by the server"_s;
        return u"the connection to "_s % host % u" broke ("_s % (system.isEmpty() ? detail : system)
               % u')';
    case CURLE_PARTIAL_FILE:
        return u"the server closed the connection early"_s;
    case CURLE_GOT_NOTHING:
        return u"the server closed the connection without an answer"_s;
    case CURLE_OPERATION_TIMEDOUT:
        return u"no answer from "_s % host % u" in time"_s;
    case CURLE_PEER_FAILED_VERIFICATION:
        if (m_noNames)
            return u"the certificate of "_s % host % u" names no subject alternative name"_s;
        return u"the certificate of "_s % host % u" is not trusted: "_s % detail;
    default:
        return detail;
    }
}
