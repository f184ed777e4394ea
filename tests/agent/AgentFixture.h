// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "AgentClient.h"
#include "AgentProcess.h"
#include "PrivateBus.h"
#include "TestCatalog.h"

#include <QTemporaryDir>

#include <memory>

// One agent on one private bus over fresh products, feeds and state; everything
// is stopped when it goes out of scope.
class AgentFixture
{
public:
    AgentFixture();

    // Starts the bus and the agent with --products and --state-file set and,
    // unless told not to, asks IsConnected for code() as a client would.
    bool start(const QStringList &arguments = {}, bool askConnected = true);
    // Kills the agent with SIGKILL and starts a new one on the same bus,
    // products and state, as after a crash.
    bool restartAfterKill(const QStringList &arguments = {});
    QString error() const { return m_error; }

    QString root() const { return m_dir.path(); }
    QString statePath() const { return m_dir.path() + QStringLiteral("/state/installed.json"); }
    QString cachedFeedPath() const
    {
        return m_dir.path() + QStringLiteral("/cache-home/palvane/feeds/") + code() + u".json";
    }
    // The agent's standard error.
    QString logPath() const { return m_dir.path() + QStringLiteral("/agent.log"); }
    QString code() const { return QString::fromUtf16(TestCatalog::Code); }
    // Subscribes to an item's events from the agent.
    std::unique_ptr<class ItemEvents> events(const QString &itemPath) const;

    QTemporaryDir m_dir;
    TestCatalog catalog;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<AgentProcess> agent;
    std::unique_ptr<AgentClient> client;
    // The agent's environment; start() adds XDG folders of its own.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();

private:
    QString m_error;
};
