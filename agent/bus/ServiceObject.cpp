// SPDX-License-Identifier: GPL-3.0-or-later
#include "bus/ServiceObject.h"

#include "bus/AgentContext.h"
#include "base/AgentLog.h"
#include "feeds/FeedKeeper.h"
#include "bus/CollectionObject.h"
#include "install/Installer.h"
#include "bus/ObjectRegistry.h"
#include "feeds/Products.h"
#include "bus/StatusReport.h"
#include "agent_service_adaptor.h"
#include "agent_status_adaptor.h"
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
    StatusReport::registerTypes();
    new StatusAdaptor(this);
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
    // Calls still waiting for a hash count as the collections they will make.
    if (m_context->registry->heldBy(caller) + m_waiting.value(caller)
        >= ObjectRegistry::MaxObjectsPerOwner) {
        // Logged first: a caller that reads the log on the refusal finds the line.
        qCWarning(lcBus).noquote() << "refused GetUpdates from" << caller << "- it holds"
                                   << ObjectRegistry::MaxObjectsPerOwner << "collections already";
        sendErrorReply(QString::fromUtf16(Contract::Error::LimitExceeded),
                       u"This client holds "_s % QString::number(ObjectRegistry::MaxObjectsPerOwner)
                           % u" collections already, as many as one connection may hold."_s);
        return {};
    }
    // Files found in place are hashed first, on another thread: answered
    // when that ends, while others are served.
    setDelayedReply(true);
    const QDBusMessage request = message();
    QDBusConnection bus = connection();
    const auto answer = [this, caller, request, bus](const Product &offered) {
        const QString path = collection(offered, caller, request, bus);
        if (!path.isEmpty())
            bus.send(request.createReply(QVariant::fromValue(QDBusObjectPath(path))));
    };
    const Product *product = m_context->products->find(strProdCode);
    const std::optional<QList<ProductUpdate>> updates =
        product ? m_context->feeds->updates(*product) : std::nullopt;
    if (!updates) {
        Product offered;
        offered.code = strProdCode;
        answer(offered);
        return {};
    }
    ++m_waiting[caller];
    m_context->installer->pending(
        *product, *updates, this,
        [this, offered = *product, caller, answer](const QList<ProductUpdate> &pending) mutable {
            if (--m_waiting[caller] <= 0)
                m_waiting.remove(caller);
            offered.updates = shared(offered.code, withinRollout(offered.code, pending));
            answer(offered);
        });
    return {};
}

QList<ProductUpdate> ServiceObject::withinRollout(const QString &code,
                                                  const QList<ProductUpdate> &pending)
{
    QList<ProductUpdate> offered;
    for (const ProductUpdate &update : pending) {
        const QString why = m_context->heldBack(code, update);
        if (why.isEmpty()) {
            offered.append(update);
            continue;
        }
        // Once a run: every GetUpdates would say it again.
        const QString logged = AgentContext::key(code, update) % u'/' % update.version;
        if (!m_heldBackLogged.contains(logged)) {
            m_heldBackLogged.insert(logged);
            qCInfo(lcFeeds).noquote() << AgentLog::cut(update.id) << AgentLog::cut(update.version)
                                      << why;
        }
    }
    return offered;
}

// Collections of one product share one list while they offer the same.
QList<ProductUpdate> ServiceObject::shared(const QString &code, const QList<ProductUpdate> &offered)
{
    QList<ProductUpdate> &last = m_lastOffered[code.toUpper()];
    if (last != offered)
        last = offered;
    return last;
}

QString ServiceObject::collection(const Product &offered, const QString &caller,
                                  const QDBusMessage &request, QDBusConnection bus)
{
    if (const QString why = m_context->registry->whyFull(caller); !why.isEmpty()) {
        qCWarning(lcBus).noquote() << "refused GetUpdates from" << caller << "-" << why;
        bus.send(request.createErrorReply(QString::fromUtf16(Contract::Error::LimitExceeded), why));
        return {};
    }
    auto *collection = new CollectionObject(m_context, offered, caller);
    const QString path = m_context->registry->adopt(collection, u"collection"_s, caller);
    if (path.isEmpty()) {
        bus.send(request.createErrorReply(QDBusError::Failed,
                                          u"The update service could not create the collection."_s));
        return {};
    }
    qCInfo(lcBus).noquote() << caller << "GetUpdates" << AgentLog::cut(offered.code) << "->" << path
                            << offered.updates.size() << "update(s)";
    return path;
}

StatusProductList ServiceObject::ListProducts()
{
    Q_EMIT called();
    StatusProductList list;
    for (const Product *product : m_context->products->inOrder())
        list.append({product->code, product->name});
    return list;
}

const Product *ServiceObject::knownProduct(const QString &code)
{
    const Product *product = m_context->products->find(code);
    if (!product)
        sendErrorReply(QDBusError::InvalidArgs, u"No product has the code "_s % code % u'.');
    return product;
}

QVariantMap ServiceObject::GetProductStatus(const QString &strProdCode)
{
    Q_EMIT called();
    const Product *product = knownProduct(strProdCode);
    return product ? StatusReport::of(*m_context, *product) : QVariantMap();
}

QVariantMap ServiceObject::Check(const QString &strProdCode)
{
    Q_EMIT called();
    const Product *product = knownProduct(strProdCode);
    if (!product)
        return {};
    setDelayedReply(true);
    const QDBusMessage request = message();
    QDBusConnection bus = connection();
    AgentContext *context = m_context;
    const QString code = product->code;
    m_context->feeds->refresh(*product, [request, bus, context, code](bool) mutable {
        // Products live as long as the agent; look it up again all the same.
        if (const Product *known = context->products->find(code))
            bus.send(request.createReply(StatusReport::of(*context, *known)));
    });
    return {};
}
