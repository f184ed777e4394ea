// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QLatin1StringView>
#include <QString>

// Waits for the reply to a call placed on the update service and turns
// everything but a reply of the expected shape into a RuntimeError.
class DbusCall
{
public:
    // Blocks without running the event loop, so nothing else (events, other
    // replies) is delivered while the program waits. Throws OperationFailed
    // for an error reply or no reply, UnexpectedReply when the reply's
    // signature is not exactly `signature`.
    static QDBusMessage finish(QDBusPendingCall call, const QString &method,
                               QLatin1StringView signature);
};
