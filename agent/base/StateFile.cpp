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

QByteArray StateFile::stamp() const
{
    struct stat st = {};
    if (::stat(QFile::encodeName(m_path).constData(), &st) != 0)
        return {};
    return QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino))
           + ':' + QByteArray::number(qlonglong(st.st_size)) + ':'
           + QByteArray::number(qlonglong(st.st_mtim.tv_sec)) + '.'
           + QByteArray::number(qlonglong(st.st_mtim.tv_nsec));
}

// Asked on every question so that a record edited or removed by hand counts
// at once; parsed again only when the file changed.
std::optional<QJsonObject> StateFile::load() const
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(m_path).constData(), &st) != 0 && errno == ENOENT)
        return QJsonObject();
    const QByteArray before = stamp();
    if (!before.isEmpty() && before == m_stamp)
        return m_cached;
    QString why;
    BoundedFile::Fault fault = BoundedFile::Fault::None;
    const std::optional<QByteArray> content = BoundedFile::read(m_path, MaxBytes, &why, &fault);
    if (content) {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(*content, &parseError);
        if (document.isObject()) {
            // NUL allowed: it could only be in a name an older agent took from a feed.
            why = JsonText::fault(*content, JsonText::Nul::Allowed);
            if (why.isEmpty()) {
                m_stamp = before;
                m_cached = document.object();
                m_lastFault.clear();
                return m_cached;
            }
        } else {
            why = parseError.error != QJsonParseError::NoError
                      ? parseError.errorString() % u" at byte "_s % QString::number(parseError.offset)
                      : u"not a JSON object"_s;
        }
    } else if (fault == BoundedFile::Fault::System) {
        // No permission, no descriptor left: nothing is known of the content,
        // which may well be good.
        if (why != m_lastFault)
            qCCritical(lcInstall).noquote()
                << u"the state file %1 cannot be read now (%2); it is left as it is and not written"_s
                       .arg(m_path, why);
        m_lastFault = why;
        return std::nullopt;
    }
    m_stamp.clear();
    moveAside(why);
    if (::lstat(QFile::encodeName(m_path).constData(), &st) != 0 && errno == ENOENT)
        return QJsonObject();
    return std::nullopt;
}

int StateFile::removeLeftovers() const
{
    const QFileInfo info(m_path);
    const QDir folder = info.absoluteDir();
    int removed = 0;
    for (const QString &entry : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (!AtomicFile::isTemporaryOf(entry, info.fileName()))
            continue;
        const QByteArray path = QFile::encodeName(folder.filePath(entry));
        struct stat st = {};
        if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (::unlink(path.constData()) == 0) {
            ++removed;
            qCInfo(lcInstall).noquote() << "removed the unfinished copy" << folder.filePath(entry)
                                        << "of the state file";
        }
    }
    return removed;
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
    const QByteArray content = QJsonDocument(root).toJson();
    if (content.size() > MaxBytes) {
        // Written, it would be moved aside at the next read, and every
        // product's records and feed serials with it.
        *error = u"the state file "_s % m_path % u" would be "_s % QString::number(content.size())
                 % u" bytes, more than the "_s % QString::number(MaxBytes)
                 % u" it may have; not written, the old one kept"_s;
        qCCritical(lcInstall).noquote() << *error;
        return false;
    }
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = u"cannot create the folder of "_s % m_path;
        return false;
    }
    if (!AtomicFile::replace(m_path, content, error)) {
        qCWarning(lcInstall).noquote() << *error;
        return false;
    }
    m_stamp = stamp();
    m_cached = root;
    m_lastFault.clear();
    return true;
}
