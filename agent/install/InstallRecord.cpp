// SPDX-License-Identifier: GPL-3.0-or-later
#include "install/InstallRecord.h"

#include "base/AgentLog.h"
#include "base/Sha256.h"
#include "base/StateFile.h"

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

InstallRecord::InstallRecord(StateFile *file)
    : m_file(file)
{
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
    const QJsonObject updates = m_file->load().value_or(QJsonObject()).value(code.toUpper()).toObject();
    return updates.value(updateId).toObject().value(u"version"_s).toString() == version;
}

bool InstallRecord::record(const QString &code, const QString &updateId, const QString &version,
                           const QString &file, QString *error)
{
    std::optional<QJsonObject> root = m_file->load();
    if (!root) {
        *error = u"the unreadable "_s % m_file->path() % u" is in the way"_s;
        return false;
    }
    insert(&*root, code, updateId, version, file);
    return m_file->save(*root, error);
}

QList<ProductUpdate> InstallRecord::pending(const Product &product,
                                            const QList<ProductUpdate> &listed)
{
    std::optional<QJsonObject> root = m_file->load();
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
            qCInfo(lcDownload).noquote() << AgentLog::cut(update.id) << "is in place as"
                                         << AgentLog::cut(file)
                                         << "without a record; recorded";
            continue;
        }
        result.append(update);
    }
    QString error;
    if (found && !m_file->save(*root, &error))
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
