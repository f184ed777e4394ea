#include "InstallRecord.h"

#include "AgentLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

using namespace Qt::StringLiterals;

namespace {

const QString FeedsKey = u"feeds"_s;

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
QJsonObject InstallRecord::load() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject()) {
        qCWarning(lcCatalog).noquote() << "ignoring unreadable install record" << m_path;
        return {};
    }
    return document.object();
}

bool InstallRecord::isInstalled(const QString &code, const QString &updateId,
                                const QString &version) const
{
    const QJsonObject updates = load().value(code.toUpper()).toObject();
    return updates.value(updateId).toObject().value(u"version"_s).toString() == version;
}

bool InstallRecord::record(const QString &code, const QString &updateId, const QString &version,
                           const QString &file, QString *error)
{
    QJsonObject root = load();
    QJsonObject updates = root.value(code.toUpper()).toObject();
    updates.insert(updateId, QJsonObject{
                                 {u"version"_s, version},
                                 {u"file"_s, file},
                                 {u"installed"_s, QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
                             });
    root.insert(code.toUpper(), updates);
    return save(root, error);
}

InstallRecord::FeedMark InstallRecord::feedMark(const QString &code) const
{
    const QJsonObject mark = load().value(FeedsKey).toObject().value(code.toUpper()).toObject();
    return {mark.value(u"serial"_s).toInteger(0),
            QByteArray::fromHex(mark.value(u"sha256"_s).toString().toLatin1())};
}

bool InstallRecord::recordFeedMark(const QString &code, const FeedMark &mark, QString *error)
{
    QJsonObject root = load();
    QJsonObject feeds = root.value(FeedsKey).toObject();
    feeds.insert(code.toUpper(), QJsonObject{
                                     {u"serial"_s, mark.serial},
                                     {u"sha256"_s, QString::fromLatin1(mark.sha256.toHex())},
                                 });
    root.insert(FeedsKey, feeds);
    return save(root, error);
}

bool InstallRecord::save(const QJsonObject &root, QString *error)
{
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath())) {
        *error = u"cannot create the folder of "_s % m_path;
        return false;
    }
    QSaveFile out(m_path);
    if (!out.open(QIODevice::WriteOnly)
        || out.write(QJsonDocument(root).toJson()) < 0 || !out.commit()) {
        *error = u"cannot write "_s % m_path % u": "_s % out.errorString();
        return false;
    }
    return true;
}
