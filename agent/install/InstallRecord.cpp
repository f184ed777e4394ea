// SPDX-License-Identifier: GPL-3.0-or-later
#include "install/InstallRecord.h"

#include "base/AgentLog.h"
#include "base/FileHasher.h"
#include "base/StateFile.h"
#include "install/ArchiveTree.h"

#include <QDateTime>
#include <QFile>

#include <memory>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

InstallRecord::InstallRecord(StateFile *file, FileHasher *hasher)
    : m_file(file)
    , m_hasher(hasher)
{
}

QString InstallRecord::key(const QString &code, const QString &updateId, const QString &version)
{
    return code.toUpper() % u'/' % updateId % u'/' % version;
}

void InstallRecord::insert(QJsonObject *root, const QString &code, const QString &updateId,
                           const QString &version, const QString &file, const QByteArray &sha256,
                           qint64 size)
{
    QJsonObject entry{
        {u"version"_s, version},
        {u"file"_s, file},
        {u"installed"_s, QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
    };
    if (!sha256.isEmpty())
        entry.insert(u"sha256"_s, QString::fromLatin1(sha256.toHex()));
    if (size >= 0)
        entry.insert(u"size"_s, double(size));
    QJsonObject updates = root->value(code.toUpper()).toObject();
    updates.insert(updateId, entry);
    root->insert(code.toUpper(), updates);
}

bool InstallRecord::isInstalled(const QString &code, const QString &updateId,
                                const QString &version) const
{
    if (m_unrecorded.contains(key(code, updateId, version)))
        return true;
    const QJsonObject updates = m_file->load().value_or(QJsonObject()).value(code.toUpper()).toObject();
    return updates.value(updateId).toObject().value(u"version"_s).toString() == version;
}

QSet<QString> InstallRecord::installedOf(const QString &code,
                                        const QList<ProductUpdate> &listed) const
{
    const QJsonObject updates = m_file->load().value_or(QJsonObject()).value(code.toUpper()).toObject();
    QSet<QString> ids;
    for (const ProductUpdate &update : listed) {
        if (m_unrecorded.contains(key(code, update.id, update.version))
            || updates.value(update.id).toObject().value(u"version"_s).toString() == update.version)
            ids.insert(update.id);
    }
    return ids;
}

bool InstallRecord::record(const QString &code, const QString &updateId, const QString &version,
                           const QString &file, QString *error, const QByteArray &sha256,
                           qint64 size)
{
    std::optional<QJsonObject> root = m_file->load();
    if (!root) {
        *error = u"the unreadable "_s % m_file->path() % u" is in the way"_s;
    } else {
        insert(&*root, code, updateId, version, file, sha256, size);
        if (m_file->save(*root, error)) {
            m_unrecorded.remove(key(code, updateId, version));
            return true;
        }
    }
    m_unrecorded.insert(key(code, updateId, version));
    return false;
}

QJsonObject InstallRecord::entry(const QString &code, const QString &updateId) const
{
    return m_file->load().value_or(QJsonObject()).value(code.toUpper()).toObject().value(updateId).toObject();
}

bool InstallRecord::isNamedByOthers(const QString &code, const QString &updateId,
                                    const QString &file) const
{
    const QJsonObject updates = m_file->load().value_or(QJsonObject()).value(code.toUpper()).toObject();
    for (auto it = updates.constBegin(); it != updates.constEnd(); ++it) {
        if (it.key() != updateId && it.value().toObject().value(u"file"_s).toString() == file)
            return true;
    }
    return false;
}

void InstallRecord::keepOnly(const QString &code, const QStringList &ids)
{
    std::optional<QJsonObject> root = m_file->load();
    if (!root || !root->contains(code.toUpper()))
        return;
    const QSet<QString> kept(ids.cbegin(), ids.cend());
    QJsonObject updates = root->value(code.toUpper()).toObject();
    QStringList dropped;
    for (const QString &id : updates.keys()) {
        if (!kept.contains(id)) {
            updates.remove(id);
            dropped.append(id);
        }
    }
    if (dropped.isEmpty())
        return;
    if (updates.isEmpty())
        root->remove(code.toUpper());
    else
        root->insert(code.toUpper(), updates);
    QString error;
    if (m_file->save(*root, &error))
        qCInfo(lcInstall).noquote() << "dropped the records of" << dropped.size()
                                    << "update(s) no longer in the feed of" << AgentLog::cut(code.toUpper());
    else
        qCWarning(lcInstall).noquote() << "records of updates no longer in the feed of"
                                       << code.toUpper() << "not dropped -" << error;
}

InstallRecord::InPlace InstallRecord::inPlace(const QString &path, const ProductUpdate &update) const
{
    // Only what the agent itself would have put there: a regular file, not
    // a link, a FIFO or a device.
    struct stat st = {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)
        || st.st_size != update.size)
        return InPlace::No;
    const auto known = m_digests.constFind(path);
    if (known == m_digests.cend() || known->first != FileHasher::stampOf(st))
        return InPlace::Unknown;
    return known->second == update.sha256 ? InPlace::Yes : InPlace::No;
}

void InstallRecord::pending(const Product &product, const QList<ProductUpdate> &listed,
                            QObject *context, Pending done)
{
    settle(product, listed, context, done, true);
}

void InstallRecord::settle(const Product &product, const QList<ProductUpdate> &listed,
                           QObject *context, const Pending &done, bool mayHash)
{
    std::optional<QJsonObject> root = m_file->load();
    const QJsonObject installed = root.value_or(QJsonObject()).value(product.code.toUpper()).toObject();
    QList<ProductUpdate> result;
    QList<qsizetype> found;
    QList<qsizetype> unknown;
    for (qsizetype i = 0; i < listed.size(); ++i) {
        const ProductUpdate &update = listed.at(i);
        if (installed.value(update.id).toObject().value(u"version"_s).toString() == update.version
            || m_unrecorded.contains(key(product.code, update.id, update.version)))
            continue;
        const InPlace state =
            update.isArchive()
                ? (ArchiveTree(product.installDir, update.fileName, update.version).isInPlace()
                       ? InPlace::Yes
                       : InPlace::No)
                : inPlace(product.installDir % u'/' % update.fileName, update);
        switch (state) {
        case InPlace::Yes:
            found.append(i);
            continue;
        case InPlace::Unknown:
            if (mayHash && m_hasher) {
                unknown.append(i);
                continue;
            }
            break; // changed while it was hashed: offered this time
        case InPlace::No:
            break;
        }
        result.append(update);
    }

    if (!unknown.isEmpty()) {
        // Hashed on the hasher's threads; the listing is made again once all
        // have answered, from the state file as it is then.
        auto left = std::make_shared<qsizetype>(unknown.size());
        for (const qsizetype i : std::as_const(unknown)) {
            const QString path = product.installDir % u'/' % listed.at(i).fileName;
            m_hasher->hashPath(path, listed.at(i).size, context,
                               [this, path, product, listed, context, done, left](
                                   const FileHasher::Result &hashed) {
                                   if (!hashed.stamp.isEmpty())
                                       m_digests.insert(path, {hashed.stamp, hashed.sha256});
                                   if (--*left == 0)
                                       settle(product, listed, context, done, false);
                               });
        }
        return;
    }

    if (!found.isEmpty()) {
        QString error;
        bool saved = false;
        if (root) {
            for (const qsizetype i : std::as_const(found)) {
                const ProductUpdate &update = listed.at(i);
                insert(&*root, product.code, update.id, update.version,
                       product.installDir % u'/' % update.fileName, update.sha256,
                       update.isArchive() ? -1 : update.size);
            }
            saved = m_file->save(*root, &error);
        } else {
            error = u"the unreadable "_s % m_file->path() % u" is in the way"_s;
        }
        // Not offered either way: the file is there, only the record is missing.
        for (const qsizetype i : std::as_const(found)) {
            const ProductUpdate &update = listed.at(i);
            if (saved)
                m_digests.remove(product.installDir % u'/' % update.fileName);
            else
                m_unrecorded.insert(key(product.code, update.id, update.version));
        }
        const ProductUpdate &first = listed.at(found.first());
        const QString what = AgentLog::cut(first.id) % u" is in place as "_s
                             % AgentLog::cut(QString(product.installDir % u'/' % first.fileName))
                             % (found.size() > 1
                                    ? QString(u" (and "_s % QString::number(found.size() - 1)
                                              % u" more)"_s)
                                    : QString())
                             % u" without a record; "_s;
        if (saved)
            qCInfo(lcInstall).noquote() << what % u"recorded"_s;
        else
            qCWarning(lcInstall).noquote() << what % u"the record failed - "_s % error;
    }
    // Nothing left out: the collection shares the feed's list.
    done(result.size() == listed.size() ? listed : result);
}
