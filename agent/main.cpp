// SPDX-License-Identifier: GPL-3.0-or-later
#include "Agent.h"
#include "base/AgentLog.h"
#include "AgentOptions.h"
#include "QuitOnSignal.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>

int main(int argc, char *argv[])
{
    AgentLog::install();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("palvane-update-agent"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELVARRA_VERSION));

    AgentOptions options;
    if (!options.parse(QCoreApplication::arguments(), AgentOptions::configFiles()))
        return 2;

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCCritical(lcCore).noquote() << "no session bus:" << bus.lastError().message();
        return 1;
    }
    QuitOnSignal quitOnSignal;
    Agent agent(options, bus);
    QObject::connect(&agent, &Agent::idle, &app, &QCoreApplication::quit);
    QObject::connect(&agent, &Agent::busLost, &app, [] { QCoreApplication::exit(1); });
    QString error;
    if (!agent.start(&error)) {
        qCCritical(lcCore).noquote() << error;
        return 1;
    }
    return app.exec();
}
