// SPDX-License-Identifier: GPL-3.0-or-later
#include "ScriptedService.h"

#include "service/Contract.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QMutexLocker>

using namespace Qt::StringLiterals;

namespace {

const QString introspectable = u"org.freedesktop.DBus.Introspectable"_s;

QDBusMessage error(const QDBusMessage &call, const QString &name, const QString &text)
{
    return call.createErrorReply(name, text);
}

} // namespace

ScriptedService::ScriptedService(QObject *parent)
    : QDBusVirtualObject(parent)
{
    m_objects.insert(QString::fromUtf16(Contract::ServicePath),
                     {QString::fromUtf16(Contract::AgentInterface),
                      QString::fromUtf16(Contract::ServiceInterface)});
}

QString ScriptedService::introspect(const QString &) const
{
    // Every Introspect call is answered by handleMessage.
    return {};
}

bool ScriptedService::handleMessage(const QDBusMessage &message, const QDBusConnection &connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    const bool isControl = message.path() == QStringView(ControlPath);
    QDBusMessage reply = isControl ? control(message, connection) : serve(message, connection);
    if (reply.type() != QDBusMessage::InvalidMessage)
        connection.send(reply);
    return true;
}

QDBusMessage ScriptedService::control(const QDBusMessage &message, const QDBusConnection &connection)
{
    const QString member = message.member();
    const QVariantList args = message.arguments();
    const QString sig = message.signature();
    QMutexLocker locker(&m_mutex);
    if (member == "AddObject"_L1 && sig == "sas"_L1) {
        m_objects.insert(args.at(0).toString(), qdbus_cast<QStringList>(args.at(1)));
    } else if (member == "SetReply"_L1 && sig == "ssav"_L1) {
        m_answers.insert(key(args.at(0).toString(), args.at(1).toString()),
                         Answer{false, false, {}, {}, unwrap(args.at(2))});
    } else if (member == "SetError"_L1 && sig == "ssss"_L1) {
        m_answers.insert(key(args.at(0).toString(), args.at(1).toString()),
                         Answer{true, false, args.at(2).toString(), args.at(3).toString(), {}});
    } else if (member == "VanishOn"_L1 && sig == "ss"_L1) {
        m_answers.insert(key(args.at(0).toString(), args.at(1).toString()),
                         Answer{false, true, {}, {}, {}});
    } else if (member == "Emit"_L1 && sig == "sssav"_L1) {
        emitSignal(connection, Emission{args.at(0).toString(), args.at(1).toString(),
                                        args.at(2).toString(), unwrap(args.at(3))});
    } else if (member == "EmitOn"_L1 && sig == "sssssav"_L1) {
        m_emissions.insert(key(args.at(0).toString(), args.at(1).toString()),
                           Emission{args.at(2).toString(), args.at(3).toString(),
                                    args.at(4).toString(), unwrap(args.at(5))});
    } else if (member == "TakeCalls"_L1 && sig.isEmpty()) {
        const QStringList calls = std::exchange(m_calls, {});
        return message.createReply(QVariant(calls));
    } else if (member == "Quit"_L1 && sig.isEmpty()) {
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    } else {
        return error(message, u"org.freedesktop.DBus.Error.UnknownMethod"_s,
                     u"No control method "_s + member + u"("_s + sig + u")"_s);
    }
    return message.createReply();
}

QDBusMessage ScriptedService::serve(const QDBusMessage &message, const QDBusConnection &connection)
{
    QMutexLocker locker(&m_mutex);
    record(message);
    const QString callKey = key(message.path(), message.member());
    if (const auto emission = m_emissions.constFind(callKey); emission != m_emissions.cend())
        emitSignal(connection, *emission);
    if (const auto answer = m_answers.constFind(callKey); answer != m_answers.cend()) {
        if (answer->vanish) {
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
            return {};
        }
        if (answer->isError)
            return error(message, answer->errorName, answer->errorMessage);
        return message.createReply(answer->values);
    }
    if (!m_objects.contains(message.path())) {
        return error(message, u"org.freedesktop.DBus.Error.UnknownObject"_s,
                     u"No object at "_s + message.path());
    }
    if (message.member() == "Introspect"_L1 && message.interface() == introspectable)
        return message.createReply(introspectionOf(message.path()));
    return error(message, QStringView(NotScripted).toString(),
                 u"Nothing scripted for "_s + message.member() + u" on "_s + message.path());
}

QString ScriptedService::introspectionOf(const QString &path) const
{
    QString xml = u"<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
                  u" \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n"_s;
    QStringList interfaces = m_objects.value(path);
    interfaces.prepend(introspectable);
    for (const QString &name : std::as_const(interfaces))
        xml += u"  <interface name=\""_s + name + u"\">\n    <method name=\"Ping\"/>\n  </interface>\n"_s;
    return xml + u"</node>\n"_s;
}

void ScriptedService::record(const QDBusMessage &message)
{
    QStringList fields{message.path(), message.interface(), message.member(), message.signature()};
    const QVariantList args = message.arguments();
    for (const QVariant &arg : args)
        fields.append(render(arg));
    m_calls.append(fields.join(u'\n'));
}

QString ScriptedService::key(const QString &path, const QString &member)
{
    return path + u' ' + member;
}

QString ScriptedService::render(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    if (value.metaType() == QMetaType::fromType<QDBusVariant>())
        return u"v:"_s + render(value.value<QDBusVariant>().variant());
    return value.toString();
}

QVariantList ScriptedService::unwrap(const QVariant &variants)
{
    QVariantList values;
    for (const QVariant &value : qdbus_cast<QVariantList>(variants))
        values.append(value.value<QDBusVariant>().variant());
    return values;
}

void ScriptedService::emitSignal(const QDBusConnection &connection, const Emission &emission)
{
    QDBusMessage message =
        QDBusMessage::createSignal(emission.path, emission.interface, emission.member);
    message.setArguments(emission.values);
    connection.send(message);
}
