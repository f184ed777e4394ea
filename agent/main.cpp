// SPDX-License-Identifier: GPL-3.0-or-later
#include "Agent.h"
#include "base/AgentLog.h"
#include "AgentOptions.h"
#include "QuitOnSignal.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>

#include <future>

int main(int argc, char *argv[])
{
    AgentLog::install();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("palvane-update-agent"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELVARRA_VERSION));

    AgentOptions options;
    if (!options.parse(QCoreApplication::arguments(), AgentOptions::configFiles()))
        return 2;

    QuitOnSignal quitOnSignal;
    Agent agent(options);
    // The client that activated us waits for our name, then for answers. The
    // product files (and OpenSSL's first use, a millisecond) need no bus, so
    // they are read while the connection is made and the name taken.
    std::future<void> reading = std::async(std::launch::async, [&agent] { agent.readProducts(); });
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCCritical(lcCore).noquote() << "no session bus:" << bus.lastError().message();
        return 1;
    }
    QObject::connect(&agent, &Agent::idle, &app, &QCoreApplication::quit);
    QObject::connect(&agent, &Agent::busLost, &app, [] { QCoreApplication::exit(1); });
    QString error;
    if (!agent.start(bus, &error)) {
        qCCritical(lcCore).noquote() << error;
        return 1;
    }
    reading.get();
    return app.exec();
}
