// SPDX-License-Identifier: GPL-3.0-or-later
#include "AgentFixture.h"

#include "ItemEvents.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QTest>

using namespace Qt::StringLiterals;

AgentFixture::AgentFixture()
    : catalog(m_dir.path())
{
}

bool AgentFixture::start(const QStringList &arguments, bool askConnected)
{
    if (!m_dir.isValid()) {
        m_error = u"no temporary folder"_s;
        return false;
    }
    // A second start is a restart of the agent on the same bus.
    if (agent)
        agent->stop();
    if (!bus) {
        bus = std::make_unique<PrivateBus>(root());
        if (!bus->start(&m_error))
            return false;
        client = std::make_unique<AgentClient>(bus->connect(u"test-client"_s));
    }
    if (!client->bus().isConnected()) {
        m_error = u"cannot connect to the private bus"_s;
        return false;
    }
    // Keep the user's own products, feeds, state and settings out of reach.
    environment.insert(u"XDG_CONFIG_HOME"_s, root() + u"/config-home"_s);
    environment.insert(u"XDG_CACHE_HOME"_s, root() + u"/cache-home"_s);
    environment.insert(u"XDG_STATE_HOME"_s, root() + u"/state-home"_s);
    agent = std::make_unique<AgentProcess>(logPath());
    const QStringList all = QStringList{u"--products"_s, catalog.productsDir(), u"--state-file"_s,
                                        statePath()}
                            + arguments;
    if (!agent->start(bus->address(), all, environment, client->bus(), &m_error))
        return false;
    // As the client does: the feed is fetched before updates are asked for.
    if (askConnected)
        client->isConnected(code());
    return true;
}

bool AgentFixture::restartAfterKill(const QStringList &arguments)
{
    agent->kill();
    // The bus lets the name go once it sees the connection closed.
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()
           && client->bus().interface()->isServiceRegistered(QString::fromUtf16(Contract::ServiceName)))
        QTest::qWait(20);
    return start(arguments);
}

std::unique_ptr<ItemEvents> AgentFixture::events(const QString &itemPath) const
{
    return std::make_unique<ItemEvents>(client->bus(), agent->uniqueName(), itemPath);
}
