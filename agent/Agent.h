// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "AgentOptions.h"
#include "IdleWatch.h"
#include "base/FileHasher.h"
#include "base/StateFile.h"
#include "bus/AgentContext.h"
#include "download/RateLimiter.h"
#include "feeds/FeedKeeper.h"
#include "feeds/FeedMarks.h"
#include "feeds/Products.h"
#include "feeds/Rollout.h"
#include "install/Installer.h"
#include "net/Network.h"

#include <QDBusConnection>
#include <QObject>

#include <memory>

class ObjectRegistry;
class ServiceObject;

// The whole agent: products, feeds, state and the bus objects, on one bus.
class Agent : public QObject
{
    Q_OBJECT

public:
    // Reads nothing yet.
    explicit Agent(const AgentOptions &options, QObject *parent = nullptr);
    ~Agent() override;

    // Reads the product files and removes the part files a killed agent left
    // in their install folders. It shares nothing with start(), so the two
    // may run at once on two threads; both end before the event loop runs.
    void readProducts();
    // Creates the bus objects on bus, exports the service object and takes
    // the well-known name. No call is served until the event loop runs.
    bool start(const QDBusConnection &bus, QString *error);

Q_SIGNALS:
    void idle();
    // The bus connection is gone; nothing can reach the agent any more.
    void busLost();

private Q_SLOTS:
    void onBusDisconnected();

private:
    QStringList m_productFolders;
    QString m_machineIdFile;
    Rollout m_rollout;
    QDBusConnection m_bus{QString()};
    Products m_products;
    StateFile m_stateFile;
    // Before everything that asks it for hashes: it goes after them.
    FileHasher m_hasher;
    FeedMarks m_feedMarks;
    Installer m_installer;
    Network m_network;
    FeedKeeper m_feeds;
    // Shared by every transfer, so it outlives them all.
    RateLimiter m_totalLimit;
    AgentContext m_context;
    std::unique_ptr<ObjectRegistry> m_registry;
    std::unique_ptr<ServiceObject> m_service;
    IdleWatch m_idle;
};
