// SPDX-License-Identifier: GPL-3.0-or-later
// The update service as the D-Bus tests script it: owns the service name on
// the bus it is started on and serves every path through ScriptedService.

#include "ScriptedService.h"
#include "service/Contract.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// Activated by the bus: talk to that bus; started by a test: the session bus
// it was given.
QDBusConnection connectToStarter()
{
    if (qEnvironmentVariableIsSet("DBUS_STARTER_ADDRESS"))
        return QDBusConnection::connectToBus(QDBusConnection::ActivationBus, u"starter"_s);
    return QDBusConnection::sessionBus();
}

// A test that dies must not leave the service behind.
void quitWithBus(QCoreApplication &app, const QDBusConnection &bus)
{
    auto *watch = new QTimer(&app);
    QObject::connect(watch, &QTimer::timeout, &app, [bus] {
        if (!bus.isConnected())
            QCoreApplication::exit(2);
    });
    watch->start(200);
    QTimer::singleShot(std::chrono::minutes(2), &app, [] { QCoreApplication::exit(3); });
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QDBusConnection bus = connectToStarter();
    ScriptedService service;
    if (!bus.isConnected() || !bus.registerVirtualObject(u"/"_s, &service, QDBusConnection::SubPath)
        || !bus.registerService(QString::fromUtf16(Contract::ServiceName))) {
        std::fprintf(stderr, "testservice: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    quitWithBus(app, bus);
    return app.exec();
}
