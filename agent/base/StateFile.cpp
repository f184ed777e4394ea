// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/StateFile.h"

#include "base/AgentLog.h"
#include "base/AtomicFile.h"
#include "base/BoundedFile.h"
#include "base/JsonText.h"
#include "base/XdgDirs.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

StateFile::StateFile(const QString &path)
    : m_path(path)
{
}

QString StateFile::defaultPath()
{
    return XdgDirs::stateHome() + u"/palvane/installed.json"_s;
}

// Read on every question so that a record edited or removed by hand counts
// at once; the file stays small.
std::optional<QJsonObject> StateFile::load() const
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(m_path).constData(), &st) != 0 && errno == ENOENT)
        return QJsonObject();
    QString why;
    const std::optional<QByteArray> content = BoundedFile::read(m_path, BoundedFile::DefaultLimit, &why);
    if (content) {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(*content, &parseError);
        if (document.isObject()) {
            // NUL allowed: it could only be in a name an older agent took from a feed.
            why = JsonText::fault(*content, JsonText::Nul::Allowed);
            if (why.isEmpty())
                return document.object();
        } else {
            why = parseError.error != QJsonParseError::NoError
                      ? parseError.errorString() % u" at byte "_s % QString::number(parseError.offset)
                      : u"not a JSON object"_s;
        }
    }
    moveAside(why);
    if (::lstat(QFile::encodeName(m_path).constData(), &st) != 0 && errno == ENOENT)
        return QJsonObject();
    return std::nullopt;
}

// Keeps what was there for a person to look at: nothing installed is
// forgotten silently, and the next record does not overwrite it.
void StateFile::moveAside(const QString &why) const
{
    const QString stamp = QDateTime::currentDateTimeUtc().toString(u"yyyyMMdd'T'HHmmss'Z'"_s);
    const QString base = m_path % u".corrupt-"_s % stamp;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString aside = attempt == 0 ? base : base % u'-' % QString::number(attempt);
        if (::renameat2(AT_FDCWD, QFile::encodeName(m_path).constData(), AT_FDCWD,
                        QFile::encodeName(aside).constData(), RENAME_NOREPLACE)
            == 0) {
            qCCritical(lcInstall).noquote()
                << u"the state file %1 cannot be read (%2); moved aside as %3, starting with an empty record"_s
                       .arg(m_path, why, aside);
            return;
        }
        if (errno != EEXIST)
            break;
    }
    qCCritical(lcInstall).noquote()
        << u"the state file %1 cannot be read (%2) nor moved aside (%3); it is left as it is and not written"_s
               .arg(m_path, why, QString::fromLocal8Bit(std::strerror(errno)));
}

bool StateFile::save(const QJsonObject &root, QString *error) const
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = u"cannot create the folder of "_s % m_path;
        return false;
    }
    if (!AtomicFile::replace(m_path, QJsonDocument(root).toJson(), error)) {
        qCWarning(lcInstall).noquote() << *error;
        return false;
    }
    return true;
}
