// SPDX-License-Identifier: GPL-3.0-or-later
#include "DbusCall.h"

#include "RuntimeError.h"

#include <QDBusError>

using namespace Qt::StringLiterals;

namespace {

// QtDBus replaces a reply whose signature does not match the typed reply with
// an error of its own making; such a message was never sent by anyone.
bool isLocalSignatureMismatch(const QDBusMessage &reply)
{
    return reply.type() == QDBusMessage::ErrorMessage && reply.service().isEmpty()
        && reply.errorName() == QDBusError::errorString(QDBusError::InvalidSignature);
}

[[noreturn]] void throwUnexpected(const QString &method, const QString &detail)
{
    throw RuntimeError(RuntimeError::UnexpectedReply,
                       u"Unexpected reply to "_s + method + u": "_s + detail);
}

} // namespace

QDBusMessage DbusCall::finish(QDBusPendingCall call, const QString &method,
                              QLatin1StringView signature)
{
    call.waitForFinished();
    const QDBusMessage reply = call.reply();
    if (isLocalSignatureMismatch(reply))
        throwUnexpected(method, reply.errorMessage());
    if (reply.type() == QDBusMessage::ErrorMessage) {
        throw RuntimeError(RuntimeError::OperationFailed,
                           reply.errorName() + u": "_s + reply.errorMessage());
    }
    if (reply.type() != QDBusMessage::ReplyMessage)
        throwUnexpected(method, u"not a method reply"_s);
    if (reply.signature() != signature) {
        throwUnexpected(method, u"signature \""_s + reply.signature() + u"\", expected \""_s
                                    + signature + u"\""_s);
    }
    return reply;
}
