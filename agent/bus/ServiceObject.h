// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusContext>
#include <QDBusObjectPath>
#include <QObject>

struct AgentContext;

// The service object: IsConnected and GetUpdates.
class ServiceObject : public QObject, protected QDBusContext
{
    Q_OBJECT

public:
    explicit ServiceObject(AgentContext *context, QObject *parent = nullptr);

public Q_SLOTS:
    short IsConnected(const QString &strProdCode);
    QDBusObjectPath GetUpdates(const QString &strProdCode);

Q_SIGNALS:
    // Any call at all, so the idle time restarts.
    void called();

private:
    AgentContext *m_context;
};
