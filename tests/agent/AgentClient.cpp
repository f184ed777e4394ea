// SPDX-License-Identifier: GPL-3.0-or-later
#include "AgentClient.h"

#include <QDBusObjectPath>
#include <QDBusVariant>

using namespace Qt::StringLiterals;

namespace {

constexpr int CallTimeoutMs = 10000;

QVariant firstArgument(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst();
}

} // namespace

AgentClient::AgentClient(const QDBusConnection &bus)
    : m_bus(bus)
{
}

QDBusMessage AgentClient::call(const QString &path, const char16_t *interface,
                               const QString &method, const QVariantList &arguments) const
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QString::fromUtf16(Contract::ServiceName), path, QString::fromUtf16(interface), method);
    message.setArguments(arguments);
    return m_bus.call(message, QDBus::Block, CallTimeoutMs);
}

int AgentClient::isConnected(const QString &code) const
{
    const QVariant value = firstArgument(call(QString::fromUtf16(Contract::ServicePath),
                                              Contract::AgentInterface, u"IsConnected"_s, {code}));
    return value.metaType() == QMetaType::fromType<short>() ? value.value<short>() : -2;
}

QString AgentClient::getUpdates(const QString &code) const
{
    return firstArgument(call(QString::fromUtf16(Contract::ServicePath), Contract::ServiceInterface,
                              u"GetUpdates"_s, {code}))
        .value<QDBusObjectPath>()
        .path();
}

int AgentClient::count(const QString &collection) const
{
    const QVariant value = firstArgument(call(collection, Contract::CollectionInterface, u"Count"_s));
    return value.isValid() ? value.toInt() : -2;
}

QString AgentClient::item(const QString &collection, int index) const
{
    const QVariant value =
        firstArgument(call(collection, Contract::CollectionInterface, u"Item"_s, {index}));
    return value.value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
}

QString AgentClient::name(const QString &item) const
{
    return firstArgument(call(item, Contract::ItemInterface, u"GetName"_s, {0})).toString();
}

QString AgentClient::text(const QString &item) const
{
    return firstArgument(call(item, Contract::ItemInterface, u"GetText"_s, {1})).toString();
}

int AgentClient::prepareDownload(const QString &item) const
{
    const QVariant value = firstArgument(call(item, Contract::ItemInterface, u"PrepareDownload"_s,
                                              {QVariant::fromValue(Contract::True)}));
    return value.metaType() == QMetaType::fromType<short>() ? value.value<short>() : -2;
}

QDBusMessage AgentClient::execute(const QString &item) const
{
    return call(item, Contract::ItemInterface, u"Execute"_s);
}

QDBusMessage AgentClient::cancel(const QString &item) const
{
    return call(item, Contract::ItemInterface, u"Cancel"_s);
}

QString AgentClient::introspect(const QString &path) const
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QString::fromUtf16(Contract::ServiceName), path, u"org.freedesktop.DBus.Introspectable"_s,
        u"Introspect"_s);
    return firstArgument(m_bus.call(message, QDBus::Block, CallTimeoutMs)).toString();
}
