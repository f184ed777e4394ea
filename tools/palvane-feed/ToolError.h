// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Why a command could not do its work; main() prints it and exits with status.
struct ToolError
{
    enum Status { Refused = 1, Usage = 2, Failed = 3 };

    QString message;
    Status status = Failed;
};
