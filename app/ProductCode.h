// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <optional>

// The product code on the command line: "-pc" directly followed by a
// 38-character code whose first "{" is its first character and whose
// first "}" is its last. Positions count UTF-16 code units.
namespace ProductCode {

inline constexpr qsizetype Length = 38;

// The text right after the first "-pc" (case-sensitive), at most Length
// units; nothing when there is no "-pc".
std::optional<QString> cut(const QString &commandLine);
bool isAccepted(const QString &code);

} // namespace ProductCode
