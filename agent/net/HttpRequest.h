// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <curl/curl.h>

#include <deque>

class Network;

// One bounded HTTP GET over HTTP/1.1 (no HTTP/2: a flood of header frames
// cannot reach us). At most 64 KiB of headers a response, the body cut one
// byte past its limit whatever the framing, at most 10 redirects and never
// to another scheme, nothing asked to be compressed, TLS 1.2 or later from
// the system trust store with names only from subject alternative names,
// proxies from the environment as libcurl reads them.
//
// A response that is not 2xx ends the request once its headers are in: its
// body is not wanted.
class HttpRequest : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 MaxHeaderBytes = 64 * 1024;
    static constexpr int MaxRedirects = 10;
    static constexpr qsizetype MaxReasonChars = 200;

    struct Options
    {
        qint64 bodyLimit = 0;
        // Extra request headers, "Name: value".
        QList<QByteArray> headers;
        // Stop reading from the server while this much waits unread; 0 never.
        qint64 pauseAbove = 0;
    };

    HttpRequest(Network *network, const QUrl &url, const Options &options,
                QObject *parent = nullptr);
    ~HttpRequest() override;

    void start();
    // Stops without a signal.
    void abort();

    // The address that answered last, after redirects.
    QUrl url() const { return m_url; }
    // Of the final response, 0 before its headers or when none came.
    int status() const { return m_status; }
    // The reason phrase, cut and without control characters.
    QString reason() const { return m_reason; }
    // A header of the final response by its lower-case name.
    QByteArray header(const QByteArray &lowerName) const { return m_headers.value(lowerName); }
    // "HTTP 404 Not Found from …".
    QString statusText() const;

    qint64 bytesAvailable() const { return m_buffered; }
    QByteArray read(qint64 maxSize);
    // What read() hands over without copying: the oldest chunk received.
    qint64 nextChunkBytes() const { return m_chunks.empty() ? 0 : m_chunks.front().size(); }
    qint64 bytesReceived() const { return m_received; }
    qint64 bodyLimit() const { return m_options.bodyLimit; }
    // More body came than its limit allowed (one byte past it is readable).
    bool isOverLimit() const { return m_received > m_options.bodyLimit; }

    bool isFinished() const { return m_finished; }
    // Empty unless the transfer failed; a status of any kind is not a failure.
    QString errorText() const { return m_error; }
    // The failure was of the connection (made, broken, silent), not a refusal.
    bool isTransient() const { return m_transient; }

    // For Network.
    void transferDone(CURLcode result);
    void deliver();

Q_SIGNALS:
    // The final response's status and headers are in.
    void headersReceived();
    void readyRead();
    void finished();

private:
    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    static CURLcode onTlsContext(CURL *easy, void *context, void *self);
    size_t takeHeader(const QByteArray &line);
    size_t takeBody(const char *data, size_t size);
    void startTransfer();
    void stopTransfer();
    void complete();
    void finish(const QString &error);
    QString describe(CURLcode result) const;

    Network *m_network;
    QUrl m_url;
    QString m_scheme;
    Options m_options;
    CURL *m_easy = nullptr;
    curl_slist *m_headerList = nullptr;
    char m_errorBuffer[CURL_ERROR_SIZE] = {};
    int m_redirects = 0;

    // Filled from libcurl's callbacks, reported from deliver().
    qint64 m_headerBytes = 0;
    bool m_headersTooLarge = false;
    bool m_headersDone = false;
    bool m_headersReported = false;
    bool m_stoppedAtHeaders = false;
    bool m_newData = false;
    bool m_paused = false;
    bool m_noNames = false; // the certificate had no subject alternative names
    bool m_transferDone = false;
    CURLcode m_result = CURLE_OK;
    int m_status = 0;
    QString m_reason;
    QHash<QByteArray, QByteArray> m_headers;
    std::deque<QByteArray> m_chunks;
    qint64 m_buffered = 0;
    qint64 m_received = 0;

    bool m_finished = false;
    bool m_transient = false;
    QString m_error;
};
