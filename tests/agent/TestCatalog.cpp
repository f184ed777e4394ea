#include "TestCatalog.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>

using namespace Qt::StringLiterals;

TestCatalog::TestCatalog(const QString &root)
    : m_root(root)
{
    QDir().mkpath(catalogDir());
    QDir().mkpath(payloadDir());
    QDir().mkpath(installDir());
}

QByteArray TestCatalog::makePayload(const QString &name, qint64 size) const
{
    QByteArray content(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(content.data()),
                                          size / qint64(sizeof(quint32)));
    QFile file(payloadDir() + u'/' + name);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
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
                               const QString &fileName) const
{
    const QJsonObject product{
        {u"code"_s, code},
        {u"name"_s, u"Test Product"_s},
        {u"installDir"_s, installDir()},
        {u"updates"_s, updates},
    };
    writeRaw(fileName, QJsonDocument(product).toJson());
}

void TestCatalog::writeRaw(const QString &fileName, const QByteArray &content) const
{
    QFile file(catalogDir() + u'/' + fileName);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
}

QStringList TestCatalog::installedFiles() const
{
    return QDir(installDir()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}
