// SPDX-License-Identifier: GPL-3.0-or-later
#include "DbusService.h"

#include "DbusCall.h"
#include "DbusCollection.h"
#include "DbusIntrospection.h"
#include "DbusUpdateService.h"
#include "ServiceProxy.h"
#include "RuntimeError.h"
#include "StatusProxy.h"
#include "service/Contract.h"

using namespace Qt::StringLiterals;

DbusService::DbusService(const QDBusConnection &bus, const QString &owner)
    : m_bus(bus)
    , m_owner(owner)
    , m_agent(std::make_unique<ComPalvaneUpdateServiceAgentInterface>(
          owner, QString::fromUtf16(Contract::ServicePath), bus))
    , m_service(std::make_unique<ComPalvaneUpdateServiceServiceInterface>(
          owner, QString::fromUtf16(Contract::ServicePath), bus))
{
}

DbusService::~DbusService() = default;

qint16 DbusService::IsConnected(const QString &strProdCode)
{
    const QDBusMessage reply =
        DbusCall::finish(m_agent->IsConnected(strProdCode), u"IsConnected"_s, "n"_L1);
    return reply.arguments().constFirst().value<qint16>();
}

std::shared_ptr<UpdateCollection> DbusService::GetUpdates(const QString &strProdCode)
{
    const QDBusMessage reply =
        DbusCall::finish(m_service->GetUpdates(strProdCode), u"GetUpdates"_s, "o"_L1);
    const QString path = reply.arguments().constFirst().value<QDBusObjectPath>().path();
    DbusIntrospection::requireInterface(
        m_bus, m_owner, path, QLatin1StringView(DbusCollection::interfaceName()));
    return std::make_shared<DbusCollection>(m_bus, m_owner, path);
}

QVariantMap DbusService::productStatus(const QString &strProdCode)
{
    const QString path = QString::fromUtf16(Contract::ServicePath);
    const QString interface = QString::fromUtf16(Contract::StatusInterface);
    if (!m_hasStatus) {
        try {
            DbusIntrospection::requireInterface(m_bus, m_owner, path, interface);
            m_hasStatus = true;
        } catch (const RuntimeError &) {
            m_hasStatus = false;
        }
    }
    if (!*m_hasStatus)
        return {};
    registerStatusTypes();
    ComPalvaneUpdateServiceStatusInterface status(m_owner, path, m_bus);
    const QDBusReply<QVariantMap> reply = status.GetProductStatus(strProdCode);
    return reply.isValid() ? DbusUpdateService::plainStatus(reply.value()) : QVariantMap();
}
