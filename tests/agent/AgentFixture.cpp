// SPDX-License-Identifier: GPL-3.0-or-later
#include "AgentFixture.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QTest>

using namespace Qt::StringLiterals;

QString itemPath(const QDBusPendingReply<QDBusVariant> &reply)
{
    return reply.value().variant().value<QDBusObjectPath>().path();
}

QString introspect(const QDBusConnection &bus, const QString &path)
{
    const QDBusReply<QString> reply = bus.call(QDBusMessage::createMethodCall(
        QString::fromUtf16(Contract::ServiceName), path, u"org.freedesktop.DBus.Introspectable"_s,
        u"Introspect"_s));
    return reply.value();
}

Contract::DownloadResult resultCode(QSignalSpy &complete, int timeoutMs)
{
    if (complete.isEmpty())
        complete.wait(timeoutMs);
    return Contract::DownloadResult(complete.isEmpty() ? -1 : complete.first().first().toInt());
}

int mostBytes(const QSignalSpy &progress)
{
    int bytes = 0;
    for (const QList<QVariant> &arguments : progress)
        bytes = std::max(bytes, arguments.first().toInt());
    return bytes;
}

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
        m_connection = bus->connect(u"test-client"_s);
        const QString name = QString::fromUtf16(Contract::ServiceName);
        const QString path = QString::fromUtf16(Contract::ServicePath);
        agentInterface = std::make_unique<Proxy::Agent>(name, path, connection());
        serviceInterface = std::make_unique<Proxy::Service>(name, path, connection());
    }
    if (!connection().isConnected()) {
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
    if (!agent->start(bus->address(), all, environment, connection(), &m_error))
        return false;
    // As the client does: the feed is fetched before updates are asked for.
    if (askConnected)
        agentInterface->IsConnected(code()).waitForFinished();
    return true;
}

bool AgentFixture::restartAfterKill(const QStringList &arguments)
{
    agent->kill();
    // The bus lets the name go once it sees the connection closed.
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()
           && connection().interface()->isServiceRegistered(QString::fromUtf16(Contract::ServiceName)))
        QTest::qWait(20);
    return start(arguments);
}

Proxy::UpdateCollection AgentFixture::updates() const
{
    return collection(serviceInterface->GetUpdates(code()).value().path());
}
