// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusContext>
#include <QObject>
#include <QString>

// A bus object that belongs to the connection whose GetUpdates made it. Only
// that connection may call its methods; introspection stays open to all.
class OwnedObject : public QObject, protected QDBusContext
{
    Q_OBJECT

public:
    OwnedObject(const QString &owner, QObject *parent);

    QString owner() const { return m_owner; }

protected:
    // True, after an AccessDenied reply and a log line, when the current bus
    // call comes from another connection; the method must then change nothing.
    bool refuseStranger(const char *method);

private:
    QString m_owner;
};
