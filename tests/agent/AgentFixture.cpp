#include "AgentFixture.h"

#include "ItemEvents.h"

using namespace Qt::StringLiterals;

AgentFixture::AgentFixture()
    : catalog(m_dir.path())
{
}

bool AgentFixture::start(const QStringList &arguments)
{
    if (!m_dir.isValid()) {
        m_error = u"no temporary folder"_s;
        return false;
    }
    bus = std::make_unique<PrivateBus>(root());
    if (!bus->start(&m_error))
        return false;
    client = std::make_unique<AgentClient>(bus->connect(u"test-client"_s));
    if (!client->bus().isConnected()) {
        m_error = u"cannot connect to the private bus"_s;
        return false;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Keep the user's own catalog and state out of reach.
    environment.insert(u"XDG_DATA_HOME"_s, root() + u"/data"_s);
    environment.insert(u"XDG_DATA_DIRS"_s, root() + u"/data-dirs"_s);
    environment.insert(u"XDG_STATE_HOME"_s, root() + u"/state-home"_s);
    agent = std::make_unique<AgentProcess>(root() + u"/agent.log"_s);
    const QStringList all = QStringList{u"--catalog"_s, catalog.catalogDir(), u"--state-file"_s,
                                        statePath()}
                            + arguments;
    return agent->start(bus->address(), all, environment, client->bus(), &m_error);
}

std::unique_ptr<ItemEvents> AgentFixture::events(const QString &itemPath) const
{
    return std::make_unique<ItemEvents>(client->bus(), agent->uniqueName(), itemPath);
}
