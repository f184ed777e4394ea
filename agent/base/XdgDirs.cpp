// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/XdgDirs.h"

#include <QDir>

using namespace Qt::StringLiterals;

namespace {

// A relative value is not a usable base folder: ignore it.
QString home(const char *variable, const QString &fallback)
{
    const QString value = qEnvironmentVariable(variable);
    if (value.isEmpty() || QDir::isRelativePath(value))
        return QDir::homePath() + fallback;
    return value;
}

} // namespace

namespace XdgDirs {

QString configHome()
{
    return home("XDG_CONFIG_HOME", u"/.config"_s);
}

QString cacheHome()
{
    return home("XDG_CACHE_HOME", u"/.cache"_s);
}

QString stateHome()
{
    return home("XDG_STATE_HOME", u"/.local/state"_s);
}

} // namespace XdgDirs
