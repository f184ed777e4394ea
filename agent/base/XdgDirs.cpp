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

QString dataHome()
{
    return home("XDG_DATA_HOME", u"/.local/share"_s);
}

QStringList dataDirs()
{
    QStringList dirs;
    for (const QString &dir : qEnvironmentVariable("XDG_DATA_DIRS").split(u':', Qt::SkipEmptyParts)) {
        if (!QDir::isRelativePath(dir))
            dirs.append(QDir::cleanPath(dir));
    }
    return dirs.isEmpty() ? QStringList{u"/usr/local/share"_s, u"/usr/share"_s} : dirs;
}

} // namespace XdgDirs
