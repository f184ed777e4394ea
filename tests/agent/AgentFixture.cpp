// SPDX-License-Identifier: GPL-3.0-or-later
#include "AgentFixture.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFile>
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

qint64 procStatusKiB(uint pid, const QByteArray &field)
{
    QFile status(u"/proc/"_s + QString::number(pid) + u"/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(QByteArray(field + ':')))
            return line.mid(field.size() + 1).trimmed().split(' ').constFirst().toLongLong();
    }
    return -1;
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
    for (const char16_t *variable : {u"XDG_CONFIG_HOME", u"XDG_CACHE_HOME", u"XDG_STATE_HOME",
                                     u"XDG_DATA_HOME"})
        environment.insert(QString::fromUtf16(variable), xdgHome(QString::fromUtf16(variable)));
    environment.insert(u"XDG_DATA_DIRS"_s, root() + u"/data-dirs/a:"_s + root() + u"/data-dirs/b"_s);
    agent = std::make_unique<AgentProcess>(logPath());
    QStringList all{u"--state-file"_s, statePath()};
    if (!defaultProducts)
        all += {u"--products"_s, catalog.productsDir()};
    all += arguments;
    if (!agent->start(bus->address(), all, environment, connection(), &m_error))
        return false;
    // As the client does: the feed is fetched before updates are asked for.
    if (askConnected)
        agentInterface->IsConnected(code()).waitForFinished();
    return true;
}

QString AgentFixture::xdgHome(const QString &variable) const
{
    // XDG_CONFIG_HOME: config-home, and so on.
    return root() % u'/' % variable.mid(4).section(u'_', 0, 0).toLower() % u"-home"_s;
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
