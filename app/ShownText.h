// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Texts from the update service can be of any length. Labels and prompts hold
// a few lines; laying out a megabyte would freeze the window, so a service's
// text is cut after MaxShownText units (never inside a surrogate pair), with
// "…", before the program's own words are put around it.
inline constexpr qsizetype MaxShownText = 4096;

QString ShownText(const QString &text);
