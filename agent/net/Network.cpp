// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/Network.h"

#include "net/HttpRequest.h"

#include <QSocketNotifier>

Network::Network(QObject *parent)
    : QObject(parent)
{
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Q_UNUSED(initialised);
    m_multi = curl_multi_init();
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &Network::onSocketChange);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &Network::onTimerChange);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    m_delivery.setSingleShot(true);
    m_delivery.setInterval(0);
    connect(&m_delivery, &QTimer::timeout, this, &Network::deliver);
}

Network::~Network()
{
    for (auto it = m_requests.cbegin(); it != m_requests.cend(); ++it) {
        if (it.value())
            it.value()->abort();
    }
    for (Watch &watch : m_sockets)
        unwatch(watch);
    curl_multi_cleanup(m_multi);
}

void Network::add(HttpRequest *request, CURL *easy)
{
    m_requests.insert(easy, request);
    curl_multi_add_handle(m_multi, easy);
}

void Network::remove(CURL *easy)
{
    if (m_requests.remove(easy))
        curl_multi_remove_handle(m_multi, easy);
}

void Network::scheduleDelivery()
{
    m_delivery.start();
}

int Network::onSocketChange(CURL *, curl_socket_t socket, int what, void *self, void *)
{
    auto *network = static_cast<Network *>(self);
    Watch &watch = network->m_sockets[socket];
    if (what == CURL_POLL_REMOVE) {
        network->unwatch(watch);
        network->m_sockets.remove(socket);
        return 0;
    }
    const auto watchFor = [&](QSocketNotifier *&notifier, QSocketNotifier::Type type, int event,
                              bool wanted) {
        if (!notifier && wanted) {
            notifier = new QSocketNotifier(qintptr(socket), type, network);
            connect(notifier, &QSocketNotifier::activated, network,
                    [network, socket, event] { network->act(socket, event); });
        }
        if (notifier)
            notifier->setEnabled(wanted);
    };
    watchFor(watch.read, QSocketNotifier::Read, CURL_CSELECT_IN,
             what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    watchFor(watch.write, QSocketNotifier::Write, CURL_CSELECT_OUT,
             what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
    return 0;
}

// The notifier may be the one whose signal is being handled: it goes later.
void Network::unwatch(Watch &watch)
{
    for (QSocketNotifier *notifier : {watch.read, watch.write}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->disconnect(this);
            notifier->deleteLater();
        }
    }
    watch = {};
}

int Network::onTimerChange(CURLM *, long timeoutMs, void *self)
{
    auto *network = static_cast<Network *>(self);
    if (timeoutMs < 0)
        network->m_timer.stop();
    else
        network->m_timer.start(int(std::min<long>(timeoutMs, 24 * 3600 * 1000)));
    return 0;
}

void Network::act(curl_socket_t socket, int events)
{
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        if (HttpRequest *request = m_requests.value(message->easy_handle))
            request->transferDone(message->data.result);
    }
    deliver();
}

void Network::deliver()
{
    m_delivery.stop();
    // Slots may abort, delete or start requests while this runs.
    const QList<QPointer<HttpRequest>> requests = m_requests.values();
    for (const QPointer<HttpRequest> &request : requests) {
        if (request)
            request->deliver();
    }
}
