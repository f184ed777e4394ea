// SPDX-License-Identifier: GPL-3.0-or-later
#include "InstallRecord.h"

#include "AgentLog.h"
#include "BoundedFile.h"
#include "Sha256.h"
#include "WriteAll.h"

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
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString FeedsKey = u"feeds"_s;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

void syncFolder(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// What tells one version of a file from another without reading it.
QByteArray fileStamp(const struct stat &st)
{
    return QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino))
           + ':' + QByteArray::number(qlonglong(st.st_size)) + ':'
           + QByteArray::number(qlonglong(st.st_mtim.tv_sec)) + '.'
           + QByteArray::number(qlonglong(st.st_mtim.tv_nsec)) + ':'
           + QByteArray::number(qlonglong(st.st_ctim.tv_sec)) + '.'
           + QByteArray::number(qlonglong(st.st_ctim.tv_nsec));
}

} // namespace

InstallRecord::InstallRecord(const QString &path)
    : m_path(path)
{
}

QString InstallRecord::defaultPath()
{
    QString stateHome = qEnvironmentVariable("XDG_STATE_HOME");
    if (stateHome.isEmpty() || QDir::isRelativePath(stateHome))
        stateHome = QDir::homePath() + u"/.local/state"_s;
    return stateHome + u"/palvane/installed.json"_s;
}

// Read on every question so that a record edited or removed by hand counts
// at once; the file stays small.
std::optional<QJsonObject> InstallRecord::load() const
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(m_path).constData(), &st) != 0 && errno == ENOENT)
        return QJsonObject();
    QString why;
    const std::optional<QByteArray> content = BoundedFile::read(m_path, BoundedFile::DefaultLimit, &why);
    if (content) {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(*content, &parseError);
        if (document.isObject())
            return document.object();
        why = parseError.error != QJsonParseError::NoError
                  ? parseError.errorString() % u" at byte "_s % QString::number(parseError.offset)
                  : u"not a JSON object"_s;
    }
    moveAside(why);
    if (::lstat(QFile::encodeName(m_path).constData(), &st) != 0 && errno == ENOENT)
        return QJsonObject();
    return std::nullopt;
}

// Keeps what was there for a person to look at: nothing installed is
// forgotten silently, and the next record does not overwrite it.
void InstallRecord::moveAside(const QString &why) const
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
               .arg(m_path, why, systemError());
}

bool InstallRecord::save(const QJsonObject &root, QString *error) const
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *error = u"cannot create the folder of "_s % m_path;
        return false;
    }
    // A fresh file beside the record, then one rename: a crash leaves the
    // old record or the new one, never half of one.
    QByteArray temporary = QFile::encodeName(folder % u"/.installed.json.XXXXXX"_s);
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = u"cannot write in "_s % folder % u": "_s % systemError();
        return false;
    }
    const bool written = writeAll(fd, QJsonDocument(root).toJson()) && ::fsync(fd) == 0;
    const QString writeError = systemError();
    ::close(fd);
    // The rename would replace a symlink rather than follow it; refusing
    // still tells whoever planted it that it is not used.
    const int existing = ::open(QFile::encodeName(m_path).constData(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const bool isLink = existing < 0 && errno == ELOOP;
    if (existing >= 0)
        ::close(existing);
    if (!written || isLink || ::rename(temporary.constData(), QFile::encodeName(m_path).constData()) != 0) {
        *error = isLink ? QString(u"refusing to write "_s % m_path % u" through a symlink"_s)
                        : QString(u"cannot write "_s % m_path % u": "_s
                                  % (written ? systemError() : writeError));
        ::unlink(temporary.constData());
        qCWarning(lcInstall).noquote() << *error;
        return false;
    }
    syncFolder(folder);
    return true;
}

void InstallRecord::insert(QJsonObject *root, const QString &code, const QString &updateId,
                           const QString &version, const QString &file)
{
    QJsonObject updates = root->value(code.toUpper()).toObject();
    updates.insert(updateId, QJsonObject{
                                 {u"version"_s, version},
                                 {u"file"_s, file},
                                 {u"installed"_s, QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
                             });
    root->insert(code.toUpper(), updates);
}

bool InstallRecord::isInstalled(const QString &code, const QString &updateId,
                                const QString &version) const
{
    const QJsonObject updates = load().value_or(QJsonObject()).value(code.toUpper()).toObject();
    return updates.value(updateId).toObject().value(u"version"_s).toString() == version;
}

bool InstallRecord::record(const QString &code, const QString &updateId, const QString &version,
                           const QString &file, QString *error)
{
    std::optional<QJsonObject> root = load();
    if (!root) {
        *error = u"the unreadable "_s % m_path % u" is in the way"_s;
        return false;
    }
    insert(&*root, code, updateId, version, file);
    return save(*root, error);
}

InstallRecord::FeedMark InstallRecord::feedMark(const QString &code) const
{
    const QJsonObject mark =
        load().value_or(QJsonObject()).value(FeedsKey).toObject().value(code.toUpper()).toObject();
    return {mark.value(u"serial"_s).toInteger(0),
            QByteArray::fromHex(mark.value(u"sha256"_s).toString().toLatin1())};
}

bool InstallRecord::recordFeedMark(const QString &code, const FeedMark &mark, QString *error)
{
    std::optional<QJsonObject> root = load();
    if (!root) {
        *error = u"the unreadable "_s % m_path % u" is in the way"_s;
        return false;
    }
    QJsonObject feeds = root->value(FeedsKey).toObject();
    feeds.insert(code.toUpper(), QJsonObject{
                                     {u"serial"_s, mark.serial},
                                     {u"sha256"_s, QString::fromLatin1(mark.sha256.toHex())},
                                 });
    root->insert(FeedsKey, feeds);
    return save(*root, error);
}

QList<ProductUpdate> InstallRecord::pending(const Product &product,
                                            const QList<ProductUpdate> &listed)
{
    std::optional<QJsonObject> root = load();
    const QJsonObject installed = root.value_or(QJsonObject()).value(product.code.toUpper()).toObject();
    QList<ProductUpdate> result;
    bool found = false;
    for (const ProductUpdate &update : listed) {
        if (installed.value(update.id).toObject().value(u"version"_s).toString() == update.version)
            continue;
        const QString file = product.installDir % u'/' % update.fileName;
        if (root && isInPlace(file, update)) {
            insert(&*root, product.code, update.id, update.version, file);
            found = true;
            qCInfo(lcDownload).noquote() << update.id << "is in place as" << file
                                         << "without a record; recorded";
            continue;
        }
        result.append(update);
    }
    QString error;
    if (found && !save(*root, &error))
        return listed; // nothing recorded: offer them as before
    return result;
}

bool InstallRecord::isInPlace(const QString &path, const ProductUpdate &update)
{
    // Only what the agent itself would have put there: a regular file, not
    // a link, a FIFO or a device.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st = {};
    bool matches = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == update.size
        && m_mismatched.value(path) != fileStamp(st)) {
        matches = Sha256::hashFile(fd, update.size) == update.sha256;
        if (matches)
            m_mismatched.remove(path);
        else
            m_mismatched.insert(path, fileStamp(st));
    }
    ::close(fd);
    return matches;
}
