#include "Agent.h"
#include "AgentOptions.h"
#include "QuitOnSignal.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN"))
        qSetMessagePattern(QStringLiteral("palvane-update-agent: %{if-category}%{category}: %{endif}"
                                          "%{if-warning}warning: %{endif}%{message}"));
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("palvane-update-agent"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELVARRA_VERSION));

    AgentOptions options;
    if (!options.parse(QCoreApplication::arguments(), AgentOptions::configFiles()))
        return 2;

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "palvane-update-agent: no session bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    QuitOnSignal quitOnSignal;
    Agent agent(options, bus);
    QObject::connect(&agent, &Agent::idle, &app, &QCoreApplication::quit);
    QObject::connect(&agent, &Agent::busLost, &app, [] { QCoreApplication::exit(1); });
    QString error;
    if (!agent.start(&error)) {
        std::fprintf(stderr, "palvane-update-agent: %s\n", qPrintable(error));
        return 1;
    }
    return app.exec();
}
