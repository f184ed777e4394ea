// SPDX-License-Identifier: GPL-3.0-or-later
#include "DbusIntrospection.h"

#include "DbusCall.h"
#include "RuntimeError.h"

#include <QDBusMessage>
#include <QXmlStreamReader>

using namespace Qt::StringLiterals;

namespace {

[[noreturn]] void throwMalformed(const QString &path, const QString &detail)
{
    throw RuntimeError(RuntimeError::UnexpectedReply,
                       u"The introspection data of "_s + path + u" is not valid: "_s + detail);
}

QStringList readRootNode(QXmlStreamReader &reader)
{
    QStringList names;
    while (reader.readNextStartElement()) {
        if (reader.name() == "interface"_L1)
            names.append(reader.attributes().value("name"_L1).toString());
        // Nested nodes describe child objects, not this one.
        reader.skipCurrentElement();
    }
    return names;
}

} // namespace

QStringList DbusIntrospection::interfaces(const QString &xml, const QString &path)
{
    QXmlStreamReader reader(xml);
    if (!reader.readNextStartElement())
        throwMalformed(path, reader.hasError() ? reader.errorString() : u"no root element"_s);
    if (reader.name() != "node"_L1)
        throwMalformed(path, u"the root element is <"_s + reader.name() + u">, not <node>"_s);
    const QStringList names = readRootNode(reader);
    // Reading on to the end catches errors after the root node too.
    while (!reader.atEnd())
        reader.readNext();
    if (reader.hasError())
        throwMalformed(path, reader.errorString());
    return names;
}

void DbusIntrospection::requireInterface(const QDBusConnection &bus, const QString &owner,
                                         const QString &path, const QString &interface)
{
    const QDBusMessage call = QDBusMessage::createMethodCall(
        owner, path, u"org.freedesktop.DBus.Introspectable"_s, u"Introspect"_s);
    const QDBusMessage reply = DbusCall::finish(bus.asyncCall(call),
                                                u"Introspect on "_s + path, "s"_L1);
    const QString xml = reply.arguments().constFirst().toString();
    if (!interfaces(xml, path).contains(interface)) {
        throw RuntimeError(RuntimeError::InterfaceMissing,
                           u"The object "_s + path + u" does not provide "_s + interface);
    }
}
