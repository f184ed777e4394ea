// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "UpdateService.h"

#include <QDBusConnection>
#include <QVariantMap>

// The update service reached over D-Bus, as the contract in the
// com.palvane.UpdateService*.xml files and Contract.h describe it.
namespace DbusUpdateService {

// Creates the service object on the given bus, starting the service when its
// name has no owner. Throws RuntimeError (ServiceUnavailable) when it cannot.
std::unique_ptr<UpdateService> create(const QDBusConnection &bus);
// The same on the session bus.
std::unique_ptr<UpdateService> create();
// Asks the session bus to start the service, without waiting for it, so that
// it starts while the program sets itself up; create() still checks and
// waits as always. Callable before QCoreApplication exists. Does nothing
// without a session bus address.
void startEarly();
// Starts the service when its name has no owner; returns the unique name
// that owns it now. Throws as create() does.
QString startService(const QDBusConnection &bus);
// A GetProductStatus reply with its nested D-Bus values (the updates'
// aa{sv}, the addresses' as) as plain lists and maps.
QVariantMap plainStatus(const QVariantMap &reply);

} // namespace DbusUpdateService
