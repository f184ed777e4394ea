// SPDX-License-Identifier: GPL-3.0-or-later
#include "bus/CollectionObject.h"

#include "bus/AgentContext.h"
#include "bus/ItemObject.h"
#include "bus/ObjectRegistry.h"
#include "agent_collection_adaptor.h"

#include <QDBusError>
#include <QDBusObjectPath>

using namespace Qt::StringLiterals;

CollectionObject::CollectionObject(AgentContext *context, const Product &product,
                                   const QString &owner, QObject *parent)
    : OwnedObject(owner, parent)
    , m_context(context)
    , m_product(product)
    , m_items(product.updates.size(), nullptr)
    , m_paths(product.updates.size())
{
    new UpdateCollectionAdaptor(this);
}

int CollectionObject::Count()
{
    if (refuseStranger("Count"))
        return 0;
    return int(m_items.size());
}

// Asking twice for the same index gives the same item: it is one update.
QDBusVariant CollectionObject::Item(int index)
{
    if (refuseStranger("Item"))
        return {};
    if (index < 1 || index > m_items.size()) {
        sendErrorReply(QDBusError::InvalidArgs,
                       u"Item index "_s % QString::number(index) % u" is out of range: "_s
                           % (m_items.isEmpty() ? u"the collection is empty"_s
                                                : QString(u"valid indexes are 1 to "_s
                                                          % QString::number(m_items.size())))
                           % u'.');
        return {};
    }
    const qsizetype i = index - 1;
    if (!m_items[i]) {
        auto *item = new ItemObject(m_context, m_product, m_product.updates.at(i), owner(), this);
        const QString path = m_context->registry->publish(item, u"item"_s);
        if (path.isEmpty()) {
            delete item;
            sendErrorReply(QDBusError::Failed, u"The update service could not create the item."_s);
            return {};
        }
        m_items[i] = item;
        m_paths[i] = path;
    }
    return QDBusVariant(QVariant::fromValue(QDBusObjectPath(m_paths.at(i))));
}
