#pragma once

#include "AgentContext.h"
#include "AgentOptions.h"
#include "Catalog.h"
#include "IdleWatch.h"
#include "InstallRecord.h"

#include <QDBusConnection>
#include <QNetworkAccessManager>
#include <QObject>

#include <memory>

class ObjectRegistry;
class ServiceObject;

// The whole agent: catalog, state and the bus objects, on one bus.
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
    Catalog m_catalog;
    InstallRecord m_installRecord;
    QNetworkAccessManager m_network;
    AgentContext m_context;
    std::unique_ptr<ObjectRegistry> m_registry;
    std::unique_ptr<ServiceObject> m_service;
    IdleWatch m_idle;
};
