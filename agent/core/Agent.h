// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "AgentContext.h"
#include "AgentOptions.h"
#include "FeedKeeper.h"
#include "IdleWatch.h"
#include "InstallRecord.h"
#include "Products.h"

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
    InstallRecord m_installRecord;
    QNetworkAccessManager m_network;
    FeedKeeper m_feeds;
    AgentContext m_context;
    std::unique_ptr<ObjectRegistry> m_registry;
    std::unique_ptr<ServiceObject> m_service;
    IdleWatch m_idle;
};
