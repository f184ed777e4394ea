// SPDX-License-Identifier: GPL-3.0-or-later
#include "DbusUpdateService.h"

#include "DbusService.h"
#include "RuntimeError.h"
#include "service/Contract.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusReply>

#include <dbus/dbus.h>

#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

[[noreturn]] void throwUnavailable(const QString &what, const QDBusError &error)
{
    QString description = what;
    if (error.isValid())
        description += u": "_s + error.name() + u": "_s + error.message();
    // What the bus says here is true but names nothing the user can act on.
    if (error.type() == QDBusError::ServiceUnknown)
        description += u" (the update agent palvane-update-agent is not installed, or the session bus cannot start it)"_s;
    throw RuntimeError(RuntimeError::ServiceUnavailable, description);
}

QString serviceName()
{
    return QString::fromUtf16(Contract::ServiceName);
}

// Starts the service through the bus when nobody owns its name yet.
void ensureStarted(QDBusConnectionInterface &bus)
{
    const QDBusReply<bool> registered = bus.isServiceRegistered(serviceName());
    if (!registered.isValid())
        throwUnavailable(u"Cannot ask the session bus for "_s + serviceName(), registered.error());
    if (registered.value())
        return;
    const QDBusReply<void> started = bus.startService(serviceName());
    if (!started.isValid())
        throwUnavailable(u"Cannot start "_s + serviceName(), started.error());
}

QString uniqueOwner(QDBusConnectionInterface &bus)
{
    const QDBusReply<QString> owner = bus.serviceOwner(serviceName());
    if (!owner.isValid() || owner.value().isEmpty())
        throwUnavailable(serviceName() + u" has no owner"_s, owner.error());
    return owner.value();
}

} // namespace

namespace DbusUpdateService {

QString startService(const QDBusConnection &bus)
{
    QDBusConnectionInterface *busInterface = bus.isConnected() ? bus.interface() : nullptr;
    if (!busInterface)
        throwUnavailable(u"Cannot connect to the session bus"_s, bus.lastError());
    ensureStarted(*busInterface);
    return uniqueOwner(*busInterface);
}

std::unique_ptr<UpdateService> create(const QDBusConnection &bus)
{
    return std::make_unique<DbusService>(bus, startService(bus));
}

std::unique_ptr<UpdateService> create()
{
    return create(QDBusConnection::sessionBus());
}

// libdbus directly: QtDBus wants a QCoreApplication first, and starting the
// service is only worth it before Qt's own start-up, which it then overlaps.
void startEarly()
{
    const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address || !*address)
        return;
    DBusError error;
    dbus_error_init(&error);
    DBusConnection *bus = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
    dbus_error_free(&error);
    if (!bus)
        return;
    // Not ours to end the process when the bus goes away.
    dbus_connection_set_exit_on_disconnect(bus, FALSE);
    if (DBusMessage *message = dbus_message_new_method_call(
            DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "StartServiceByName")) {
        const QByteArray name = serviceName().toUtf8();
        const char *nameData = name.constData();
        const dbus_uint32_t flags = 0;
        if (dbus_message_append_args(message, DBUS_TYPE_STRING, &nameData, DBUS_TYPE_UINT32,
                                     &flags, DBUS_TYPE_INVALID)) {
            dbus_message_set_no_reply(message, TRUE);
            dbus_connection_send(bus, message, nullptr);
            dbus_connection_flush(bus);
        }
        dbus_message_unref(message);
    }
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
}

} // namespace DbusUpdateService

namespace DbusUpdateService {

QVariantMap plainStatus(const QVariantMap &reply)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
    QVariantMap out = reply;
    for (auto it = out.begin(); it != out.end(); ++it) {
        if (it->metaType() != QMetaType::fromType<QDBusArgument>())
            continue;
        const QDBusArgument argument = it->value<QDBusArgument>();
        if (argument.currentSignature() == "aa{sv}"_L1) {
            QVariantList list;
            for (const QVariantMap &entry : qdbus_cast<QList<QVariantMap>>(argument))
                list.append(entry);
            *it = list;
        } else if (argument.currentSignature() == "as"_L1) {
            *it = qdbus_cast<QStringList>(argument);
        }
    }
    return out;
}

} // namespace DbusUpdateService
