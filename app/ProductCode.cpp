// SPDX-License-Identifier: GPL-3.0-or-later
#include "ProductCode.h"

using namespace Qt::StringLiterals;

namespace ProductCode {

std::optional<QString> cut(const QString &commandLine)
{
    const qsizetype at = commandLine.indexOf(u"-pc"_s, 0, Qt::CaseSensitive);
    if (at < 0)
        return std::nullopt;
    return commandLine.mid(at + 3, Length);
}

bool isAccepted(const QString &code)
{
    return code.indexOf(u'}') == Length - 1 && code.indexOf(u'{') == 0;
}

} // namespace ProductCode
