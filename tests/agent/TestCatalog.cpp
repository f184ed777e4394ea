// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestCatalog.h"

#include "SigningKey.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>

using namespace Qt::StringLiterals;

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

TestCatalog::TestCatalog(const QString &root)
    : feedUrl(QUrl::fromLocalFile(root + u"/feeds/updates.json"_s))
    , m_root(root)
    , m_key(std::make_unique<SigningKey>(SigningKey::generate()))
    , m_newKey(std::make_unique<SigningKey>(SigningKey::generate()))
{
    QDir().mkpath(productsDir());
    QDir().mkpath(m_root + u"/feeds"_s);
    QDir().mkpath(payloadDir());
    QDir().mkpath(installDir());
}

TestCatalog::~TestCatalog() = default;

QByteArray TestCatalog::makePayload(const QString &name, qint64 size) const
{
    QByteArray content(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(content.data()),
                                          size / qint64(sizeof(quint32)));
    writeFile(payloadDir() + u'/' + name, content);
    return content;
}

QJsonObject TestCatalog::update(const QString &id, const QString &name, const QByteArray &content,
                                const QUrl &url)
{
    return {
        {u"id"_s, id},
        {u"name"_s, name},
        {u"version"_s, u"1.0"_s},
        {u"size"_s, double(content.size())},
        {u"sha256"_s, QString::fromLatin1(
                          QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex())},
        {u"url"_s, url.toString()},
        {u"file"_s, QString(id + u".bin"_s)},
    };
}

void TestCatalog::writeProduct(const QJsonArray &updates, const QString &code,
                               const QString &fileName)
{
    QJsonArray keys;
    for (const Key which : {OldKey, NewKey}) {
        if (listedKeys & which)
            keys.append(QString::fromLatin1(key(which).publicKey().toBase64()));
    }
    QJsonArray feeds{feedUrl.toString()};
    for (const QUrl &mirror : mirrors)
        feeds.append(mirror.toString());
    const QJsonObject product{
        {u"code"_s, code},
        {u"name"_s, u"Test Product"_s},
        {u"installDir"_s, installDirField.isEmpty() ? installDir() : installDirField},
        {u"feed"_s, mirrors.isEmpty() ? QJsonValue(feedUrl.toString()) : QJsonValue(feeds)},
        {u"keys"_s, keys},
    };
    writeRaw(fileName, QJsonDocument(product).toJson());
    const QByteArray bytes = QJsonDocument(feed(updates, code))
                                 .toJson(compactFeeds ? QJsonDocument::Compact : QJsonDocument::Indented);
    publish(bytes, sign(bytes));
}

QJsonObject TestCatalog::feed(const QJsonArray &updates, const QString &code)
{
    return {
        {u"product"_s, code},
        {u"serial"_s, double(++serial)},
        {u"expires"_s, QDateTime::currentDateTimeUtc().addDays(1).toString(Qt::ISODate)},
        {u"updates"_s, updates},
    };
}

void TestCatalog::publish(const QByteArray &feed, const QByteArray &signatureFile) const
{
    writeFile(feedPath(), feed);
    QFile::remove(feedPath() + u".sig"_s);
    if (!signatureFile.isEmpty())
        writeFile(feedPath() + u".sig"_s, signatureFile);
}

QByteArray TestCatalog::published(const QString &suffix) const
{
    return fileContent(feedPath() + suffix);
}

const SigningKey &TestCatalog::key(Key which) const
{
    return which == NewKey ? *m_newKey : *m_key;
}

QByteArray TestCatalog::sign(const QByteArray &bytes) const
{
    return key(signingKey).sign(bytes).toBase64() + '\n';
}

QByteArray TestCatalog::publicKey() const
{
    return m_key->publicKey().toBase64();
}

QByteArray TestCatalog::privateKeyPem() const
{
    return m_key->toPem();
}

void TestCatalog::writeRaw(const QString &fileName, const QByteArray &content) const
{
    writeFile(productsDir() + u'/' + fileName, content);
}

QStringList TestCatalog::installedFiles() const
{
    return QDir(installDir()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}
