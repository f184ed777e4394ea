// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>

// The agent's settings: built-in defaults, then each config file in turn,
// then the command line.
class AgentOptions
{
public:
    // Prints the problem and returns false on a bad command line. A bad
    // setting in a config file is logged and skipped instead: a typo there
    // must not keep the service from starting. The first file's [locked]
    // settings are ceilings that later files and the command line may
    // lower but not raise.
    bool parse(const QStringList &arguments, const QStringList &configFiles);

    // The system file, then the user's; later files win.
    static QStringList configFiles();

    QStringList productFolders;
    qint64 rateLimitBytes = 0;
    qint64 rateLimitTotalBytes = 0;
    int idleTimeoutMs = 60000;
    qint64 stallTimeoutMs = 30000;
    int retries = 5;
    qint64 feedMaxAgeMs = 300000;
    int feedTimeoutMs = 10000;
    QString stateFile;
    QString machineIdFile = QStringLiteral("/etc/machine-id");
};
