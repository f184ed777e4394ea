// SPDX-License-Identifier: GPL-3.0-or-later
#include "HttpTestServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray header(int status, const QByteArray &reason, qint64 length,
                  const QByteArray &extra = QByteArray())
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
           + "\r\nContent-Type: application/octet-stream\r\nContent-Length: "
           + QByteArray::number(length) + "\r\nConnection: close\r\n" + extra + "\r\n";
}

} // namespace

HttpTestServer::HttpTestServer() = default;

HttpTestServer::~HttpTestServer()
{
    quit();
    wait(5000);
}

bool HttpTestServer::startListening()
{
    start();
    m_ready.acquire();
    return m_port != 0;
}

QUrl HttpTestServer::url(const QString &path) const
{
    return QUrl(u"http://127.0.0.1:"_s % QString::number(m_port) % path);
}

void HttpTestServer::setRoute(const QString &path, const Route &route)
{
    const QMutexLocker lock(&m_mutex);
    m_routes.insert(path, route);
}

void HttpTestServer::setEtag(const QString &path, const QByteArray &etag)
{
    const QMutexLocker lock(&m_mutex);
    m_etags.insert(path, etag);
}

int HttpTestServer::hits(const QString &path) const
{
    const QMutexLocker lock(&m_mutex);
    return m_hits.value(path);
}

QByteArray HttpTestServer::lastRequest(const QString &path) const
{
    const QMutexLocker lock(&m_mutex);
    return m_requests.value(path);
}

void HttpTestServer::run()
{
    QTcpServer server;
    if (server.listen(QHostAddress::LocalHost, 0))
        m_port = server.serverPort();
    connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { onReadyRead(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    m_ready.release();
    if (m_port != 0)
        exec();
}

void HttpTestServer::onReadyRead(QTcpSocket *socket)
{
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n"))
        return;
    socket->setProperty("answered", true);
    respond(socket, request);
}

void HttpTestServer::respond(QTcpSocket *socket, const QByteArray &request)
{
    const QList<QByteArray> lines = request.left(request.indexOf("\r\n\r\n")).split('\n');
    const QList<QByteArray> requestLine = lines.constFirst().trimmed().split(' ');
    if (requestLine.size() < 2) {
        socket->disconnectFromHost();
        return;
    }
    const QByteArray method = requestLine.at(0);
    const QString path = QString::fromLatin1(requestLine.at(1));
    QByteArray ifNoneMatch;
    QByteArray ifRange;
    qint64 from = -1;
    for (const QByteArray &line : lines) {
        if (line.toLower().startsWith("if-none-match:"))
            ifNoneMatch = line.mid(14).trimmed();
        if (line.toLower().startsWith("if-range:"))
            ifRange = line.mid(9).trimmed();
        if (line.toLower().startsWith("range: bytes="))
            from = line.mid(13).trimmed().chopped(1).toLongLong();
    }
    Route route;
    QByteArray etag;
    bool known = false;
    {
        const QMutexLocker lock(&m_mutex);
        const int hit = m_hits[path]++;
        m_requests.insert(path, request.left(request.indexOf("\r\n\r\n")));
        known = m_routes.contains(path);
        route = m_routes.value(path);
        etag = m_etags.value(path);
        if (hit < route.first.size()) {
            route.kind = route.first.at(hit);
            if (!route.firstEtag.isEmpty())
                etag = route.firstEtag;
        }
    }
    if (!known)
        route.kind = Kind::NotFound;
    const bool head = method == "HEAD";
    const QByteArray etagLine = etag.isEmpty() ? QByteArray() : "ETag: " + etag + "\r\n";
    const QByteArray body = route.body;
    switch (route.kind) {
    case Kind::Serve:
        if (!etag.isEmpty() && ifNoneMatch == etag) {
            socket->write(header(304, "Not Modified", 0, "ETag: " + etag + "\r\n"));
            break;
        }
        if (from >= 0 && !route.ignoreRange && (ifRange.isEmpty() || ifRange == etag)) {
            if (from >= body.size()) {
                socket->write(header(416, "Range Not Satisfiable", 0));
                break;
            }
            socket->write(header(206, "Partial Content", body.size() - from,
                                 "Content-Range: bytes " + QByteArray::number(from) + '-'
                                     + QByteArray::number(body.size() - 1) + '/'
                                     + QByteArray::number(body.size()) + "\r\n"
                                     + (etag.isEmpty() ? QByteArray() : "ETag: " + etag + "\r\n")));
            socket->write(body.mid(from));
            break;
        }
        socket->write(header(200, "OK", body.size(),
                             etag.isEmpty() ? QByteArray() : "ETag: " + etag + "\r\n"));
        if (!head)
            socket->write(body);
        break;
    case Kind::NotFound: {
        const QByteArray page = "not here\n";
        socket->write(header(404, "Not Found", page.size()));
        if (!head)
            socket->write(page);
        break;
    }
    case Kind::Redirect:
        socket->write(header(302, "Found", 0, "Location: " + route.location.toEncoded() + "\r\n"));
        break;
    case Kind::Stall:
        socket->write(header(200, "OK", body.size(), etagLine));
        if (!head)
            socket->write(body.left(route.cutAfter));
        return; // the line stays open, silent, until the server stops
    case Kind::CloseEarly:
        socket->write(header(200, "OK", body.size(), etagLine));
        if (!head)
            socket->write(body.left(route.cutAfter));
        break;
    case Kind::Reset:
        socket->write(header(200, "OK", body.size(), etagLine));
        socket->write(body.left(route.cutAfter));
        socket->flush();
        // A moment for the bytes to leave; a zero linger then makes close() a reset.
        QTimer::singleShot(50, socket, [socket] {
            const linger now = {1, 0};
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
            socket->abort();
            socket->deleteLater();
        });
        return;
    case Kind::Silent:
        return;
    case Kind::HugeHeaders: {
        QByteArray lines = "HTTP/1.1 200 OK\r\n";
        const QByteArray filler = "X-Filler: " + QByteArray(1000, 'x') + "\r\n";
        for (int i = 0; i < 5000; ++i)
            lines += filler;
        socket->write(lines + "Content-Length: 2\r\n\r\n{}");
        return;
    }
    case Kind::Endless: {
        socket->write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        const QByteArray chunk = "10000\r\n" + QByteArray(0x10000, ' ') + "\r\n";
        const auto more = [socket, chunk] {
            while (socket->bytesToWrite() < 4 * chunk.size())
                socket->write(chunk);
        };
        connect(socket, &QTcpSocket::bytesWritten, socket, more);
        more();
        return;
    }
    case Kind::RangeRefused:
        socket->write(header(416, "Range Not Satisfiable", 0));
        break;
    case Kind::Busy:
        socket->write(header(503, "Service Unavailable", 0, "Retry-After: 1\r\n"));
        break;
    case Kind::Reason:
        socket->write("HTTP/1.1 500 " + body + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        break;
    }
    socket->disconnectFromHost();
}
