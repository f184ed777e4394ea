#include "ServiceObject.h"

#include "AgentContext.h"
#include "AgentLog.h"
#include "Catalog.h"
#include "CollectionObject.h"
#include "InstallRecord.h"
#include "ObjectRegistry.h"
#include "SourceProbe.h"
#include "agent_service_adaptor.h"

#include <QDBusConnection>
#include <QDBusMessage>

using namespace Qt::StringLiterals;

namespace {

constexpr short True = -1;
constexpr short False = 0;

} // namespace

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
    const CatalogProduct *product = m_context->catalog->find(strProdCode);
    if (!product)
        return False;
    // An HTTP source needs a round trip; answer later and keep serving.
    setDelayedReply(true);
    auto *probe = new SourceProbe(*product, m_context->network, m_context->probeTimeoutMs, this);
    const QDBusMessage request = message();
    QDBusConnection bus = connection();
    connect(probe, &SourceProbe::done, this, [probe, request, bus](bool connected) mutable {
        bus.send(request.createReply(QVariant::fromValue(connected ? True : False)));
        probe->deleteLater();
    });
    probe->start();
    return False;
}

QDBusObjectPath ServiceObject::GetUpdates(const QString &strProdCode)
{
    Q_EMIT called();
    CatalogProduct offered;
    offered.code = strProdCode;
    if (const CatalogProduct *product = m_context->catalog->find(strProdCode)) {
        offered = *product;
        offered.updates.clear();
        for (const CatalogUpdate &update : product->updates) {
            if (!m_context->installRecord->isInstalled(product->code, update.id, update.version))
                offered.updates.append(update);
        }
    }
    auto *collection = new CollectionObject(m_context, offered);
    const QString path = m_context->registry->adopt(collection, u"collection"_s, message().service());
    if (path.isEmpty()) {
        sendErrorReply(QDBusError::Failed, u"The update service could not create the collection."_s);
        return {};
    }
    qCInfo(lcBus).noquote() << message().service() << "GetUpdates" << strProdCode << "->" << path
                            << offered.updates.size() << "update(s)";
    return QDBusObjectPath(path);
}
