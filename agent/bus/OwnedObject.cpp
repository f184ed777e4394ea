// SPDX-License-Identifier: GPL-3.0-or-later
#include "bus/OwnedObject.h"

#include "base/AgentLog.h"

#include <QDBusError>
#include <QDBusMessage>

using namespace Qt::StringLiterals;

OwnedObject::OwnedObject(const QString &owner, QObject *parent)
    : QObject(parent)
    , m_owner(owner)
{
}

bool OwnedObject::refuseStranger(const char *method)
{
    if (!calledFromDBus() || message().service() == m_owner)
        return false;
    // Logged first: a caller that reads the log on the refusal finds the line.
    qCWarning(lcBus).noquote() << "refused" << method << "on" << message().path() << "from"
                               << message().service() << "- it belongs to" << m_owner;
    sendErrorReply(QDBusError::AccessDenied,
                   u"This object belongs to another client of the update service."_s);
    return true;
}
