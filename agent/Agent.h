// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "AgentOptions.h"
#include "IdleWatch.h"
#include "base/StateFile.h"
#include "bus/AgentContext.h"
#include "feeds/FeedKeeper.h"
#include "feeds/FeedMarks.h"
#include "feeds/Products.h"
#include "install/Installer.h"

#include <QDBusConnection>
#include <QNetworkAccessManager>
#include <QObject>

#include <memory>

class ObjectRegistry;
class ServiceObject;

// The whole agent: products, feeds, state and the bus objects, on one bus.
class Agent : public QObject
{
    Q_OBJECT

public:
    Agent(const AgentOptions &options, const QDBusConnection &bus, QObject *parent = nullptr);
    ~Agent() override;

    // Exports the service object and takes the well-known name.
    bool start(QString *error);

Q_SIGNALS:
    void idle();
    // The bus connection is gone; nothing can reach the agent any more.
    void busLost();

private Q_SLOTS:
    void onBusDisconnected();

private:
    QDBusConnection m_bus;
    Products m_products;
    StateFile m_stateFile;
    FeedMarks m_feedMarks;
    Installer m_installer;
    QNetworkAccessManager m_network;
    FeedKeeper m_feeds;
    AgentContext m_context;
    std::unique_ptr<ObjectRegistry> m_registry;
    std::unique_ptr<ServiceObject> m_service;
    IdleWatch m_idle;
};
