// SPDX-License-Identifier: GPL-3.0-or-later
#include "DbusCollection.h"

#include "DbusCall.h"
#include "DbusIntrospection.h"
#include "DbusItem.h"
#include "RuntimeError.h"
#include "UpdateCollectionProxy.h"

#include <QDBusMetaType>

using namespace Qt::StringLiterals;

namespace {

// The D-Bus type of a received value, for the error description.
QString signatureOf(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return value.value<QDBusArgument>().currentSignature();
    return QLatin1StringView(QDBusMetaType::typeToSignature(value.metaType()));
}

} // namespace

DbusCollection::DbusCollection(const QDBusConnection &bus, const QString &owner,
                               const QString &path)
    : m_bus(bus)
    , m_owner(owner)
    , m_proxy(std::make_unique<ComPalvaneUpdateServiceUpdateCollectionInterface>(owner, path, bus))
{
}

DbusCollection::~DbusCollection() = default;

const char *DbusCollection::interfaceName()
{
    return ComPalvaneUpdateServiceUpdateCollectionInterface::staticInterfaceName();
}

int DbusCollection::Count()
{
    const QDBusMessage reply = DbusCall::finish(m_proxy->Count(), u"Count"_s, "i"_L1);
    return reply.arguments().constFirst().toInt();
}

std::shared_ptr<UpdateItem> DbusCollection::Item(int index)
{
    const QString path = itemPath(index);
    // Only the item interface is asked for. The events interface holds
    // signals alone: an item that does not list it can still be used, it
    // just never reports progress, and subscribing needs nothing from it.
    DbusIntrospection::requireInterface(m_bus, m_owner, path,
                                        QLatin1StringView(DbusItem::interfaceName()));
    return std::make_shared<DbusItem>(m_bus, m_owner, path);
}

QString DbusCollection::itemPath(int index)
{
    const QString method = u"Item("_s + QString::number(index) + u")"_s;
    const QDBusMessage reply = DbusCall::finish(m_proxy->Item(index), method, "v"_L1);
    const QVariant held = reply.arguments().constFirst().value<QDBusVariant>().variant();
    if (held.metaType() != QMetaType::fromType<QDBusObjectPath>()) {
        throw RuntimeError(RuntimeError::UnexpectedReply,
                           u"Unexpected reply to "_s + method + u": the variant holds \""_s
                               + signatureOf(held) + u"\", not an object path"_s);
    }
    return held.value<QDBusObjectPath>().path();
}
