// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QSemaphore>
#include <QThread>
#include <QUrl>

class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 with its own thread, so it keeps
// serving while the test thread waits in a blocking D-Bus call.
class HttpTestServer : public QThread
{
    Q_OBJECT

public:
    enum class Kind {
        Serve,      // 200 with the body
        NotFound,   // 404
        Redirect,   // 302 to location
        Stall,      // headers and cutAfter bytes, then silence with the line open
        CloseEarly, // headers promising the whole body, cutAfter bytes, then close
        Reset,      // headers and cutAfter bytes, then a TCP reset
        Silent,     // takes the request and never answers
        HugeHeaders, // 200 with 5 MB of header lines
        Endless,    // 200 with a chunked body that never ends
        Reason,     // 500 with the body as its reason phrase
        Busy,       // 503 with Retry-After: 1
        RangeRefused, // 416
    };
    struct Route
    {
        Kind kind = Kind::Serve;
        QByteArray body;
        QUrl location;
        qint64 cutAfter = 0;
        // Scripted faults: the kinds of the first requests, before `kind`.
        QList<Kind> first = {};
        // A Serve route answers Range with 206 unless this is set.
        bool ignoreRange = false;
        // The ETag of the scripted first answers, when not the path's.
        QByteArray firstEtag = {};
    };

    HttpTestServer();
    ~HttpTestServer() override;

    // Returns once the server listens (or failed to).
    bool startListening();
    quint16 port() const { return m_port; }
    QUrl url(const QString &path) const;

    void setRoute(const QString &path, const Route &route);
    // Served as the ETag of a Serve route; a request with a matching
    // If-None-Match gets 304.
    void setEtag(const QString &path, const QByteArray &etag);
    int hits(const QString &path) const;
    // The head of the last request for path.
    QByteArray lastRequest(const QString &path) const;

protected:
    void run() override;

private:
    void onReadyRead(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const QByteArray &request);

    mutable QMutex m_mutex;
    QHash<QString, Route> m_routes;
    QHash<QString, int> m_hits;
    QHash<QString, QByteArray> m_requests;
    QHash<QString, QByteArray> m_etags;
    QSemaphore m_ready;
    quint16 m_port = 0;
};
