// SPDX-License-Identifier: GPL-3.0-or-later
#include "DbusItem.h"

#include "DbusCall.h"
#include "RuntimeError.h"
#include "UpdateItemProxy.h"

using namespace Qt::StringLiterals;

const DbusItem::Event DbusItem::s_events[3] = {
    {"OnDownloadBegin", "", SIGNAL(OnDownloadBegin())},
    {"OnProgressChanged", "iiss", SIGNAL(OnProgressChanged(int,int,QString,QString))},
    {"OnDownloadComplete", "i", SIGNAL(OnDownloadComplete(int))},
};

DbusItem::DbusItem(const QDBusConnection &bus, const QString &owner, const QString &path)
    : m_bus(bus)
    , m_owner(owner)
    , m_path(path)
    , m_proxy(std::make_unique<ComPalvaneUpdateServiceUpdateItemInterface>(owner, path, bus))
{
    subscribe();
}

DbusItem::~DbusItem()
{
    unsubscribe();
}

const char *DbusItem::interfaceName()
{
    return ComPalvaneUpdateServiceUpdateItemInterface::staticInterfaceName();
}

const char *DbusItem::eventsInterfaceName()
{
    return ComPalvaneUpdateServiceUpdateItemEventsInterface::staticInterfaceName();
}

QString DbusItem::GetName(int n)
{
    const QDBusMessage reply = DbusCall::finish(m_proxy->GetName(n), u"GetName"_s, "s"_L1);
    return reply.arguments().constFirst().toString();
}

void DbusItem::Cancel()
{
    DbusCall::finish(m_proxy->Cancel(), u"Cancel"_s, ""_L1);
}

qint16 DbusItem::PrepareDownload(qint16 b)
{
    const QDBusMessage reply =
        DbusCall::finish(m_proxy->PrepareDownload(b), u"PrepareDownload"_s, "n"_L1);
    return reply.arguments().constFirst().value<qint16>();
}

void DbusItem::Execute()
{
    DbusCall::finish(m_proxy->Execute(), u"Execute"_s, ""_L1);
}

QString DbusItem::GetText(int n)
{
    const QDBusMessage reply = DbusCall::finish(m_proxy->GetText(n), u"GetText"_s, "s"_L1);
    return reply.arguments().constFirst().toString();
}

// Subscribing with the unique name drops signals from any other connection, a
// restarted service included; a well-known name would follow whoever owns it
// now. QtDBus matches path, interface and the exact signature ("" included),
// so only the contract's signals reach the item's own signals.
void DbusItem::subscribe()
{
    for (const Event &event : s_events) {
        const bool connected = m_bus.connect(
            m_owner, m_path, QLatin1StringView(eventsInterfaceName()),
            QLatin1StringView(event.member), QLatin1StringView(event.signature), this,
            event.relay);
        if (!connected) {
            unsubscribe();
            throw RuntimeError(RuntimeError::ProgramFault,
                               u"Cannot receive the events of "_s + m_path + u": "_s
                                   + m_bus.lastError().message());
        }
    }
}

void DbusItem::unsubscribe()
{
    for (const Event &event : s_events) {
        m_bus.disconnect(m_owner, m_path, QLatin1StringView(eventsInterfaceName()),
                         QLatin1StringView(event.member), QLatin1StringView(event.signature),
                         this, event.relay);
    }
}
