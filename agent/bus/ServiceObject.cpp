// SPDX-License-Identifier: GPL-3.0-or-later
#include "bus/ServiceObject.h"

#include "bus/AgentContext.h"
#include "base/AgentLog.h"
#include "feeds/FeedKeeper.h"
#include "bus/CollectionObject.h"
#include "install/Installer.h"
#include "bus/ObjectRegistry.h"
#include "feeds/Products.h"
#include "agent_service_adaptor.h"
#include "service/Contract.h"

#include <QDBusConnection>
#include <QDBusMessage>

using namespace Qt::StringLiterals;

ServiceObject::ServiceObject(AgentContext *context, QObject *parent)
    : QObject(parent)
    , m_context(context)
{
    new AgentAdaptor(this);
    new ServiceAdaptor(this);
}

short ServiceObject::IsConnected(const QString &strProdCode)
{
    Q_EMIT called();
    const Product *product = m_context->products->find(strProdCode);
    if (!product)
        return Contract::False;
    // A fetch takes a round trip: answer later and keep serving others.
    setDelayedReply(true);
    const QDBusMessage request = message();
    QDBusConnection bus = connection();
    m_context->feeds->isConnected(*product, [request, bus](bool connected) mutable {
        bus.send(request.createReply(
            QVariant::fromValue(connected ? Contract::True : Contract::False)));
    });
    return Contract::False;
}

QDBusObjectPath ServiceObject::GetUpdates(const QString &strProdCode)
{
    Q_EMIT called();
    const QString caller = message().service();
    if (m_context->registry->heldBy(caller) >= ObjectRegistry::MaxObjectsPerOwner) {
        sendErrorReply(QString::fromUtf16(Contract::Error::LimitExceeded),
                       u"This client holds "_s % QString::number(ObjectRegistry::MaxObjectsPerOwner)
                           % u" collections already, as many as one connection may hold."_s);
        qCWarning(lcBus).noquote() << "refused GetUpdates from" << caller << "- it holds"
                                   << ObjectRegistry::MaxObjectsPerOwner << "collections already";
        return {};
    }
    Product offered;
    offered.code = strProdCode;
    const Product *product = m_context->products->find(strProdCode);
    const std::optional<QList<ProductUpdate>> updates =
        product ? m_context->feeds->updates(*product) : std::nullopt;
    if (updates) {
        offered = *product;
        offered.updates = m_context->installer->pending(*product, *updates);
    }
    auto *collection = new CollectionObject(m_context, offered, caller);
    const QString path = m_context->registry->adopt(collection, u"collection"_s, caller);
    if (path.isEmpty()) {
        sendErrorReply(QDBusError::Failed, u"The update service could not create the collection."_s);
        return {};
    }
    qCInfo(lcBus).noquote() << caller << "GetUpdates" << AgentLog::cut(strProdCode) << "->" << path
                            << offered.updates.size() << "update(s)";
    return QDBusObjectPath(path);
}
