// SPDX-License-Identifier: GPL-3.0-or-later
#include "AgentProcess.h"

#include "service/Contract.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFile>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr int StartTimeoutMs = 10000;

} // namespace

AgentProcess::AgentProcess(const QString &logPath)
    : m_logPath(logPath)
{
}

AgentProcess::~AgentProcess()
{
    stop();
}

QString AgentProcess::program()
{
    return QStringLiteral(PALVANE_AGENT_BINARY);
}

bool AgentProcess::start(const QString &busAddress, const QStringList &arguments,
                         const QProcessEnvironment &environment, const QDBusConnection &bus,
                         QString *error)
{
    QProcessEnvironment env = environment;
    env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, busAddress);
    m_process.setProcessEnvironment(env);
    m_process.setStandardOutputFile(m_logPath, QIODevice::Append);
    m_process.setStandardErrorFile(m_logPath, QIODevice::Append);
    m_process.start(program(), arguments);
    if (!m_process.waitForStarted(StartTimeoutMs)) {
        *error = u"the agent did not start: "_s + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired() && isRunning()) {
        const QDBusReply<QString> owner =
            bus.interface()->serviceOwner(QString::fromUtf16(Contract::ServiceName));
        if (owner.isValid()) {
            m_uniqueName = owner.value();
            return true;
        }
        QTest::qWait(20);
    }
    *error = u"the agent did not take its bus name; its log:\n"_s + log();
    return false;
}

void AgentProcess::stop()
{
    if (!isRunning())
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

void AgentProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool AgentProcess::waitForExit(int timeoutMs)
{
    return !isRunning() || m_process.waitForFinished(timeoutMs);
}

QString AgentProcess::log() const
{
    QFile file(m_logPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}
