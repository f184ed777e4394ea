// SPDX-License-Identifier: GPL-3.0-or-later
#include "bus/CollectionObject.h"

#include "bus/AgentContext.h"
#include "service/Contract.h"
#include "base/AgentLog.h"
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
{
    new UpdateCollectionAdaptor(this);
}

int CollectionObject::Count()
{
    if (refuseStranger("Count"))
        return 0;
    return int(m_product.updates.size());
}

// Asking twice for the same index gives the same item: it is one update.
QDBusVariant CollectionObject::Item(int index)
{
    if (refuseStranger("Item"))
        return {};
    const qsizetype count = m_product.updates.size();
    if (index < 1 || index > count) {
        sendErrorReply(QDBusError::InvalidArgs,
                       u"Item index "_s % QString::number(index) % u" is out of range: "_s
                           % (count == 0 ? u"the collection is empty"_s
                                         : QString(u"valid indexes are 1 to "_s
                                                   % QString::number(count)))
                           % u'.');
        return {};
    }
    QString path = m_paths.value(index);
    if (path.isEmpty()) {
        if (const QString why = m_context->registry->whyFull(owner()); !why.isEmpty()) {
            qCWarning(lcBus).noquote() << "refused Item from" << owner() << "-" << why;
            sendErrorReply(QString::fromUtf16(Contract::Error::LimitExceeded), why);
            return {};
        }
        auto *item = new ItemObject(m_context, m_product, m_product.updates.at(index - 1), owner(), this);
        path = m_context->registry->publish(item, u"item"_s, owner());
        if (path.isEmpty()) {
            delete item;
            sendErrorReply(QDBusError::Failed, u"The update service could not create the item."_s);
            return {};
        }
        m_paths.insert(index, path);
    }
    return QDBusVariant(QVariant::fromValue(QDBusObjectPath(path)));
}
