#pragma once

#include <QStringList>

class QCoreApplication;

// The command line of the agent.
class AgentOptions
{
public:
    // Prints the problem and returns false on a bad command line.
    bool parse(const QCoreApplication &app);

    QStringList productFolders;
    qint64 rateLimitBytes = 0;
    int idleTimeoutMs = 60000;
    qint64 stallTimeoutMs = 30000;
    qint64 feedMaxAgeMs = 300000;
    int feedTimeoutMs = 10000;
    QString stateFile;
};
