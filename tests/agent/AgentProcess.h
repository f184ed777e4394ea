// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

// The agent under test, started on a private bus with its log in a file.
class AgentProcess
{
public:
    explicit AgentProcess(const QString &logPath);
    ~AgentProcess();
    AgentProcess(const AgentProcess &) = delete;
    AgentProcess &operator=(const AgentProcess &) = delete;

    // Starts it and waits until it owns the service name, seen from `bus`.
    bool start(const QString &busAddress, const QStringList &arguments,
               const QProcessEnvironment &environment, const QDBusConnection &bus, QString *error);
    void stop();
    // SIGKILL: the agent gets no chance to clean up.
    void kill();
    bool waitForExit(int timeoutMs);
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    int exitCode() const { return m_process.exitCode(); }
    qint64 processId() const { return m_process.processId(); }
    // The unique name that owned the service name once started.
    QString uniqueName() const { return m_uniqueName; }
    QString log() const;

    static QString program();

private:
    QProcess m_process;
    QString m_logPath;
    QString m_uniqueName;
};
