// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

// A dbus-daemon of the test's own, never the session bus of the machine. It
// reads no standard service folders, so nothing installed can be activated.
class PrivateBus
{
public:
    // serviceDirs: activation folders; environment: what activated
    // services inherit.
    PrivateBus(const QString &workDir, const QStringList &serviceDirs = {},
               const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    bool start(QString *error);
    QString address() const { return m_address; }
    // A new client connection with its own unique name.
    QDBusConnection connect(const QString &name);
    void disconnect(const QString &name);

private:
    QString m_workDir;
    QStringList m_serviceDirs;
    QProcessEnvironment m_environment;
    QProcess m_daemon;
    QString m_address;
    QStringList m_connections;
};
