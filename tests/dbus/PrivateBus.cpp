#include "PrivateBus.h"

#include <QDeadlineTimer>

#include <csignal>
#include <sys/prctl.h>

using namespace Qt::StringLiterals;

PrivateBus::PrivateBus(const QString &configFile)
{
    // Its activation chatter would drown the test's own output.
    m_daemon.setStandardErrorFile(QProcess::nullDevice());
    // A test that crashes never runs the destructor; the daemon must still go.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_daemon.start(u"dbus-daemon"_s,
                   {u"--config-file="_s + configFile, u"--nofork"_s, u"--print-address"_s});
    const QDeadlineTimer deadline(10'000);
    while (!m_daemon.canReadLine() && !deadline.hasExpired()
           && m_daemon.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    if (m_daemon.canReadLine())
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
}

PrivateBus::~PrivateBus()
{
    if (m_daemon.state() == QProcess::NotRunning)
        return;
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(5000)) {
        m_daemon.kill();
        m_daemon.waitForFinished(5000);
    }
}
