// SPDX-License-Identifier: GPL-3.0-or-later
#include "feeds/ProductFile.h"

#include "base/AgentLog.h"
#include "base/BoundedFile.h"
#include "base/XdgDirs.h"
#include "feeds/FeedSignature.h"
#include "feeds/JsonFields.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

using namespace Qt::StringLiterals;

bool ProductFile::isProductCode(const QString &code)
{
    return code.size() == 38 && code.startsWith(u'{') && code.indexOf(u'}') == 37;
}

bool ProductFile::isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != u"."_s && name != u".."_s && !name.contains(u'/')
           && !name.contains(QChar(0));
}

QString ProductFile::perUser(const QString &installDir)
{
    // One system product file serves every user: each one's agent installs
    // into a folder of that user's own.
    if (installDir.startsWith(u"~/"_s))
        return QDir::homePath() % installDir.mid(1);
    if (installDir.startsWith(u"$XDG_DATA_HOME/"_s))
        return XdgDirs::dataHome() % installDir.mid(14);
    return installDir;
}

ProductFile::Result ProductFile::read(const QString &path)
{
    QString error;
    const std::optional<QByteArray> content = BoundedFile::read(path, MaxBytes, &error);
    if (!content)
        return {std::nullopt, u"cannot be read: "_s % error};
    return parse(*content, path);
}

ProductFile::Result ProductFile::parse(const QByteArray &json, const QString &path)
{
    using namespace JsonFields;
    QString error;
    const std::optional<QJsonObject> root = parseObject(json, &error);
    if (!root)
        return {std::nullopt, error};
    const QString here;
    const std::optional<QString> code = requiredString(*root, u"code"_s, here, &error);
    const std::optional<QString> name = code ? requiredString(*root, u"name"_s, here, &error)
                                             : std::nullopt;
    const std::optional<QString> installDir =
        name ? requiredString(*root, u"installDir"_s, here, &error) : std::nullopt;
    if (!installDir)
        return {std::nullopt, error};
    // One address, or the same feed on up to MaxFeeds servers.
    const QJsonValue feed = root->value(u"feed"_s);
    if (feed.isUndefined())
        return {std::nullopt, u"missing field \"feed\""_s};
    if (!isProductCode(*code))
        return {std::nullopt, u"field \"code\" must be 38 characters, \"{\" first and the first \"}\" last, not \""_s
                                  % AgentLog::cut(*code) % u'"'};

    Product product;
    product.code = *code;
    product.name = *name;
    product.sourceFile = path;
    const QDir folder = QFileInfo(path).absoluteDir();
    product.installDir = QDir::cleanPath(folder.absoluteFilePath(perUser(*installDir)));
    const QJsonArray feeds = feed.isArray() ? feed.toArray() : QJsonArray{feed};
    if (feeds.isEmpty() || feeds.size() > MaxFeeds)
        return {std::nullopt, u"field \"feed\" must be an address or a list of 1 to "_s
                                  % QString::number(MaxFeeds) % u" addresses"_s};
    const QUrl base = QUrl::fromLocalFile(folder.absolutePath() + u'/');
    for (qsizetype i = 0; i < feeds.size(); ++i) {
        const QString where = feed.isArray() ? u"field \"feed\": feed["_s % QString::number(i) % u"] "_s
                                             : u"field \"feed\" "_s;
        const QString text = feeds.at(i).toString();
        if (text.trimmed().isEmpty())
            return {std::nullopt, where % u"must be a non-empty text"_s};
        const std::optional<QUrl> url = address(text, base, &error);
        if (!url)
            return {std::nullopt, where % error};
        product.feeds.append(*url);
    }

    const QJsonValue keys = root->value(u"keys"_s);
    if (!keys.isArray() || keys.toArray().isEmpty() || keys.toArray().size() > MaxKeys)
        return {std::nullopt, u"field \"keys\" must be a list of 1 to "_s % QString::number(MaxKeys)
                                  % u" public keys"_s};
    const QJsonArray list = keys.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const std::optional<QByteArray> key =
            FeedSignature::parsePublicKey(list.at(i).toString().toLatin1(), &error);
        if (!list.at(i).isString() || !key)
            return {std::nullopt, u"field \"keys\": keys["_s % QString::number(i) % u"] "_s
                                      % (list.at(i).isString() ? error : u"must be a text"_s)};
        product.keys.append(*key);
    }
    return {product, QString()};
}
