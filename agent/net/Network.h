// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <curl/curl.h>

class HttpRequest;
class QSocketNotifier;

// Every HTTP transfer of the agent, on one libcurl multi handle driven by
// the event loop: a notifier per socket and one timer, so no transfer ever
// blocks the bus and a slow server holds up only its own requests.
// Requests hear of their progress after libcurl returns, never from inside
// one of its callbacks, so a slot may abort or start requests freely.
class Network : public QObject
{
    Q_OBJECT

public:
    explicit Network(QObject *parent = nullptr);
    ~Network() override;

    // For HttpRequest.
    void add(HttpRequest *request, CURL *easy);
    void remove(CURL *easy);
    // Reports to the requests at the next turn of the event loop.
    void scheduleDelivery();

private:
    static int onSocketChange(CURL *easy, curl_socket_t socket, int what, void *self, void *);
    static int onTimerChange(CURLM *multi, long timeoutMs, void *self);
    void act(curl_socket_t socket, int events);
    void deliver();

    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };
    void unwatch(Watch &watch);

    CURLM *m_multi = nullptr;
    QTimer m_timer;
    QTimer m_delivery;
    QHash<curl_socket_t, Watch> m_sockets;
    QHash<CURL *, QPointer<HttpRequest>> m_requests;
};
