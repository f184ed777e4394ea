// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QString>
#include <QStringList>

// Asking an object the service handed out for an interface: the object's
// introspection data must list it.
class DbusIntrospection
{
public:
    // Throws InterfaceMissing when the object at `path` of `owner` does not
    // list `interface`, OperationFailed when the object cannot be asked and
    // UnexpectedReply when its answer is not introspection data.
    static void requireInterface(const QDBusConnection &bus, const QString &owner,
                                 const QString &path, const QString &interface);

    // The interfaces the introspected object itself provides (not those of
    // child nodes). Throws UnexpectedReply for malformed data.
    static QStringList interfaces(const QString &xml, const QString &path);
};
