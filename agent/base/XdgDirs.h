// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// The per-user XDG base folders: the variable when it holds an absolute
// path, else its default below $HOME.
namespace XdgDirs {

QString configHome();
QString cacheHome();
QString stateHome();
QString dataHome();
// $XDG_DATA_DIRS, most important first, without relative entries;
// /usr/local/share and /usr/share when it is unset or holds none.
QStringList dataDirs();

} // namespace XdgDirs
