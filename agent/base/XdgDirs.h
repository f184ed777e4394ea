// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The per-user XDG base folders: the variable when it holds an absolute
// path, else its default below $HOME.
namespace XdgDirs {

QString configHome();
QString cacheHome();
QString stateHome();

} // namespace XdgDirs
