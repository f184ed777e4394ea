// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QStringList>
#include <QVariantList>

// The test's side of the scripted service's control interface. Every call goes
// to whoever owns the service name now; false means the call failed.
class ServiceControl
{
public:
    explicit ServiceControl(const QDBusConnection &bus);

    bool addObject(const QString &path, const QStringList &interfaces);
    // Each value is sent with its own D-Bus type.
    bool setReply(const QString &path, const QString &member, const QVariantList &values);
    bool setError(const QString &path, const QString &member, const QString &name,
                  const QString &message);
    bool vanishOn(const QString &path, const QString &member);
    bool emitSignal(const QString &path, const QString &interface, const QString &member,
                    const QVariantList &values);
    bool emitOn(const QString &path, const QString &member, const QString &signalPath,
                const QString &signalMember, const QVariantList &values);
    // Each call: path, interface, member, signature, arguments.
    QList<QStringList> takeCalls();
    bool quit();

private:
    QDBusMessage call(const QString &member, const QVariantList &args);
    bool succeeds(const QString &member, const QVariantList &args);
    static QVariant variants(const QVariantList &values);

    QDBusConnection m_bus;
};
