#include "DbusItem.h"

#include "DbusCall.h"
#include "RuntimeError.h"
#include "UpdateItemProxy.h"

using namespace Qt::StringLiterals;

const DbusItem::Event DbusItem::s_events[3] = {
    {"OnDownloadBegin", "", SLOT(receiveDownloadBegin(QDBusMessage))},
    {"OnProgressChanged", "iiss", SLOT(receiveProgressChanged(QDBusMessage))},
    {"OnDownloadComplete", "i", SLOT(receiveDownloadComplete(QDBusMessage))},
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

// Subscribing with the unique name makes the bus itself drop signals from any
// other connection, a restarted service included; a well-known name would
// follow whoever owns it now.
void DbusItem::subscribe()
{
    for (const Event &event : s_events) {
        const bool connected = m_bus.connect(
            m_owner, m_path, QLatin1StringView(eventsInterfaceName()),
            QLatin1StringView(event.member), QLatin1StringView(event.signature), this, event.slot);
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
                         this, event.slot);
    }
}

// The subscription already filters; checking again keeps a signal whose
// signature QtDBus would accept by prefix, or which was queued before a
// change of mind, from reaching the program.
bool DbusItem::isOurs(const QDBusMessage &message, QLatin1StringView signature) const
{
    return message.type() == QDBusMessage::SignalMessage && message.service() == m_owner
        && message.path() == m_path
        && message.interface() == QLatin1StringView(eventsInterfaceName())
        && message.signature() == signature;
}

void DbusItem::receiveDownloadBegin(const QDBusMessage &message)
{
    if (isOurs(message, ""_L1))
        Q_EMIT OnDownloadBegin();
}

void DbusItem::receiveProgressChanged(const QDBusMessage &message)
{
    if (!isOurs(message, "iiss"_L1))
        return;
    const QVariantList args = message.arguments();
    Q_EMIT OnProgressChanged(args.at(0).toInt(), args.at(1).toInt(), args.at(2).toString(),
                             args.at(3).toString());
}

void DbusItem::receiveDownloadComplete(const QDBusMessage &message)
{
    if (isOurs(message, "i"_L1))
        Q_EMIT OnDownloadComplete(message.arguments().constFirst().toInt());
}
