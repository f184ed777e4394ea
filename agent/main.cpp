// SPDX-License-Identifier: GPL-3.0-or-later
#include "Agent.h"
#include "base/AgentLog.h"
#include "AgentOptions.h"
#include "QuitOnSignal.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>

#include <future>

#include <malloc.h>

int main(int argc, char *argv[])
{
    // A download's chunks are allocated on the receiving thread and freed
    // on the hashing one, a few MiB in flight at any time. With glibc's
    // sliding thresholds each chunk was mapped or the heap's top handed back
    // and faulted in again, a fifth of a download's CPU time. The heap keeps
    // what the downloads in flight need instead.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);
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
