// SPDX-License-Identifier: GPL-3.0-or-later
#include "PrivateBus.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QUuid>

#include <csignal>
#include <sys/prctl.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int StartTimeoutMs = 10000;

QByteArray config(const QStringList &serviceDirs)
{
    QByteArray xml = "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                     " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                     "<busconfig>\n"
                     "  <type>session</type>\n"
                     "  <listen>unix:tmpdir=/tmp</listen>\n"
                     "  <auth>EXTERNAL</auth>\n";
    for (const QString &dir : serviceDirs)
        xml += "  <servicedir>" + dir.toHtmlEscaped().toUtf8() + "</servicedir>\n";
    xml += "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "  <limit name=\"service_start_timeout\">20000</limit>\n"
           // As a stock session bus allows: a peer may send the agent this much.
           "  <limit name=\"max_message_size\">1000000000</limit>\n"
           "</busconfig>\n";
    return xml;
}

} // namespace

PrivateBus::PrivateBus(const QString &workDir, const QStringList &serviceDirs,
                       const QProcessEnvironment &environment)
    : m_workDir(workDir)
    , m_serviceDirs(serviceDirs)
    , m_environment(environment)
{
}

PrivateBus::~PrivateBus()
{
    for (const QString &name : std::as_const(m_connections))
        QDBusConnection::disconnectFromBus(name);
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(3000)) {
            m_daemon.kill();
            m_daemon.waitForFinished(3000);
        }
    }
}

bool PrivateBus::start(QString *error)
{
    const QString configPath = m_workDir + u"/bus.conf"_s;
    QFile file(configPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(config(m_serviceDirs)) < 0) {
        *error = u"cannot write "_s + configPath;
        return false;
    }
    file.close();

    QProcessEnvironment environment = m_environment;
    environment.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
    m_daemon.setProcessEnvironment(environment);
    // Its complaints (say, about fd limits when run as root) go to a file.
    m_daemon.setStandardErrorFile(m_workDir + u"/bus.log"_s);
    // A test that crashes never runs the destructor; the daemon must still go.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_daemon.start(u"dbus-daemon"_s,
                   {u"--config-file="_s + configPath, u"--nofork"_s, u"--print-address"_s});
    if (!m_daemon.waitForStarted(StartTimeoutMs)) {
        *error = u"dbus-daemon did not start: "_s + m_daemon.errorString();
        return false;
    }
    const QDeadlineTimer deadline(StartTimeoutMs);
    QByteArray output;
    while (!output.contains('\n') && !deadline.hasExpired()) {
        if (!m_daemon.waitForReadyRead(int(deadline.remainingTime())))
            break;
        output += m_daemon.readAllStandardOutput();
    }
    m_address = QString::fromUtf8(output.left(output.indexOf('\n'))).trimmed();
    if (m_address.isEmpty()) {
        *error = u"dbus-daemon printed no address"_s;
        return false;
    }
    return true;
}

QDBusConnection PrivateBus::connect(const QString &name)
{
    const QString unique = name + u'-' + QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_connections.append(unique);
    return QDBusConnection::connectToBus(m_address, unique);
}

void PrivateBus::disconnect(const QString &name)
{
    m_connections.removeAll(name);
    QDBusConnection::disconnectFromBus(name);
}
