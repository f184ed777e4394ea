// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "feeds/Product.h"
#include "bus/OwnedObject.h"

#include <QDBusVariant>
#include <QHash>

class ItemObject;
struct AgentContext;

// The updates of one GetUpdates call, numbered from 1.
class CollectionObject : public OwnedObject
{
    Q_OBJECT

public:
    CollectionObject(AgentContext *context, const Product &product, const QString &owner,
                     QObject *parent = nullptr);

public Q_SLOTS:
    int Count();
    QDBusVariant Item(int index);

private:
    AgentContext *m_context;
    Product m_product;
    // Only the items asked for: a collection costs the same whatever the
    // feed lists.
    QHash<int, QString> m_paths;
};
