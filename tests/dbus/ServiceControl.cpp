// SPDX-License-Identifier: GPL-3.0-or-later
#include "ServiceControl.h"

#include "ScriptedService.h"
#include "service/Contract.h"

#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QDebug>

using namespace Qt::StringLiterals;

ServiceControl::ServiceControl(const QDBusConnection &bus)
    : m_bus(bus)
{
}

bool ServiceControl::addObject(const QString &path, const QStringList &interfaces)
{
    return succeeds(u"AddObject"_s, {path, interfaces});
}

bool ServiceControl::setReply(const QString &path, const QString &member, const QVariantList &values)
{
    return succeeds(u"SetReply"_s, {path, member, variants(values)});
}

bool ServiceControl::setError(const QString &path, const QString &member, const QString &name,
                              const QString &message)
{
    return succeeds(u"SetError"_s, {path, member, name, message});
}

bool ServiceControl::vanishOn(const QString &path, const QString &member)
{
    return succeeds(u"VanishOn"_s, {path, member});
}

bool ServiceControl::emitSignal(const QString &path, const QString &interface,
                                const QString &member, const QVariantList &values)
{
    return succeeds(u"Emit"_s, {path, interface, member, variants(values)});
}

bool ServiceControl::emitOn(const QString &path, const QString &member, const QString &signalPath,
                            const QString &signalMember, const QVariantList &values)
{
    return succeeds(u"EmitOn"_s, {path, member, signalPath,
                                  QString::fromUtf16(Contract::ItemEventsInterface), signalMember,
                                  variants(values)});
}

QList<QStringList> ServiceControl::takeCalls()
{
    QList<QStringList> calls;
    const QDBusMessage reply = call(u"TakeCalls"_s, {});
    if (reply.type() != QDBusMessage::ReplyMessage)
        return calls;
    const QStringList entries = reply.arguments().constFirst().toStringList();
    for (const QString &entry : entries)
        calls.append(entry.split(u'\n'));
    return calls;
}

bool ServiceControl::quit()
{
    return succeeds(u"Quit"_s, {});
}

QDBusMessage ServiceControl::call(const QString &member, const QVariantList &args)
{
    const QString owner = m_bus.interface()->serviceOwner(QString::fromUtf16(Contract::ServiceName));
    QDBusMessage message = QDBusMessage::createMethodCall(
        owner, QStringView(ScriptedService::ControlPath).toString(),
        QStringView(ScriptedService::ControlInterface).toString(), member);
    message.setArguments(args);
    const QDBusMessage reply = m_bus.call(message, QDBus::Block, 10'000);
    if (reply.type() != QDBusMessage::ReplyMessage)
        qWarning() << "control call" << member << "failed:" << reply.errorName() << reply.errorMessage();
    return reply;
}

bool ServiceControl::succeeds(const QString &member, const QVariantList &args)
{
    return call(member, args).type() == QDBusMessage::ReplyMessage;
}

QVariant ServiceControl::variants(const QVariantList &values)
{
    QVariantList wrapped;
    for (const QVariant &value : values)
        wrapped.append(QVariant::fromValue(QDBusVariant(value)));
    return wrapped;
}
