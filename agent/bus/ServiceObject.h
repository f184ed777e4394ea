// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "service/StatusTypes.h"

#include <QDBusContext>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QHash>
#include <QObject>
#include <QSet>

#include "feeds/Product.h"

struct AgentContext;

// The service object: IsConnected and GetUpdates, and beside them the
// status interface.
class ServiceObject : public QObject, protected QDBusContext
{
    Q_OBJECT

public:
    explicit ServiceObject(AgentContext *context, QObject *parent = nullptr);

public Q_SLOTS:
    short IsConnected(const QString &strProdCode);
    QDBusObjectPath GetUpdates(const QString &strProdCode);

    StatusProductList ListProducts();
    QVariantMap GetProductStatus(const QString &strProdCode);
    QVariantMap Check(const QString &strProdCode);

Q_SIGNALS:
    // Any call at all, so the idle time restarts.
    void called();

private:
    QList<ProductUpdate> withinRollout(const QString &code, const QList<ProductUpdate> &pending);
    QList<ProductUpdate> shared(const QString &code, const QList<ProductUpdate> &offered);
    // Makes and exports a collection for caller; else replies to request
    // with the error and returns an empty text.
    QString collection(const Product &offered, const QString &caller, const QDBusMessage &request,
                       QDBusConnection bus);
    const Product *knownProduct(const QString &code);

    AgentContext *m_context;
    QHash<QString, int> m_waiting;
    QHash<QString, QList<ProductUpdate>> m_lastOffered;
    // "CODE/id/version" of the updates whose holding back was logged.
    QSet<QString> m_heldBackLogged;
};
