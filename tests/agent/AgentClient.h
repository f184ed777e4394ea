// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "service/Contract.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>

// Plain D-Bus calls to the agent, as a client makes them.
class AgentClient
{
public:
    explicit AgentClient(const QDBusConnection &bus);

    QDBusConnection bus() const { return m_bus; }
    QDBusMessage call(const QString &path, const char16_t *interface, const QString &method,
                      const QVariantList &arguments = {}) const;
    // The calls below return an empty value (and -2 for numbers) on an error reply.
    int isConnected(const QString &code) const;
    QString getUpdates(const QString &code) const;
    int count(const QString &collection) const;
    QString item(const QString &collection, int index) const;
    QString name(const QString &item) const;
    QString text(const QString &item) const;
    int prepareDownload(const QString &item) const;
    // Each returns the reply, an error reply when refused.
    QDBusMessage execute(const QString &item) const;
    QDBusMessage cancel(const QString &item) const;
    QString introspect(const QString &path) const;

private:
    QDBusConnection m_bus;
};
