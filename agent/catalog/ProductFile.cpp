#include "ProductFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

using namespace Qt::StringLiterals;

namespace {

// JSON numbers are doubles; sizes beyond 2^53 would silently lose bytes.
constexpr double MaxExactInteger = 9007199254740992.0;

std::optional<QString> requiredString(const QJsonObject &object, const QString &key,
                                      const QString &where, QString *error)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined()) {
        *error = where % u"missing field \""_s % key % u'"';
        return std::nullopt;
    }
    if (!value.isString() || value.toString().trimmed().isEmpty()) {
        *error = where % u"field \""_s % key % u"\" must be a non-empty text"_s;
        return std::nullopt;
    }
    return value.toString();
}

std::optional<QString> optionalString(const QJsonObject &object, const QString &key,
                                      const QString &fallback, const QString &where,
                                      QString *error)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        return fallback;
    if (!value.isString()) {
        *error = where % u"field \""_s % key % u"\" must be a text"_s;
        return std::nullopt;
    }
    return value.toString();
}

std::optional<qint64> requiredSize(const QJsonObject &object, const QString &where, QString *error)
{
    const QJsonValue value = object.value(u"size"_s);
    if (value.isUndefined()) {
        *error = where % u"missing field \"size\""_s;
        return std::nullopt;
    }
    const double size = value.toDouble(-1);
    if (!value.isDouble() || size < 0 || size > MaxExactInteger || size != qint64(size)) {
        *error = where % u"field \"size\" must be a whole number of bytes"_s;
        return std::nullopt;
    }
    return qint64(size);
}

std::optional<QByteArray> requiredSha256(const QJsonObject &object, const QString &where,
                                         QString *error)
{
    const std::optional<QString> text = requiredString(object, u"sha256"_s, where, error);
    if (!text)
        return std::nullopt;
    static const QRegularExpression hex(u"^[0-9a-fA-F]{64}$"_s);
    if (!hex.match(*text).hasMatch()) {
        *error = where % u"field \"sha256\" must be 64 hexadecimal digits"_s;
        return std::nullopt;
    }
    return QByteArray::fromHex(text->toLatin1());
}

std::optional<QUrl> requiredPayloadUrl(const QJsonObject &object, const QUrl &base,
                                       const QString &where, QString *error)
{
    const std::optional<QString> text = requiredString(object, u"url"_s, where, error);
    if (!text)
        return std::nullopt;
    const QUrl given(*text);
    const QUrl url = base.resolved(given);
    const QString scheme = url.scheme();
    if (!given.isValid() || !url.isValid()
        || (scheme != u"file"_s && scheme != u"http"_s && scheme != u"https"_s)) {
        *error = where % u"field \"url\" must be a file://, http:// or https:// address, not \""_s
                 % *text % u'"';
        return std::nullopt;
    }
    if (scheme == u"file"_s && (!url.isLocalFile() || url.toLocalFile().isEmpty())) {
        *error = where % u"field \"url\" must name a local file"_s;
        return std::nullopt;
    }
    return url;
}

} // namespace

bool ProductFile::isProductCode(const QString &code)
{
    return code.size() == 38 && code.startsWith(u'{') && code.indexOf(u'}') == 37;
}

bool ProductFile::isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != u"."_s && name != u".."_s && !name.contains(u'/')
           && !name.contains(QChar(0));
}

ProductFile::Result ProductFile::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {std::nullopt, u"cannot be read: "_s % file.errorString()};
    return parse(file.readAll(), path);
}

ProductFile::Result ProductFile::parse(const QByteArray &json, const QString &path)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return {std::nullopt, u"not valid JSON: "_s % parseError.errorString() % u" at offset "_s
                                  % QString::number(parseError.offset)};
    if (!document.isObject())
        return {std::nullopt, u"the top level must be a JSON object"_s};

    const QJsonObject root = document.object();
    QString error;
    CatalogProduct product;
    product.sourceFile = path;
    const QString here;
    const std::optional<QString> code = requiredString(root, u"code"_s, here, &error);
    const std::optional<QString> name = code ? requiredString(root, u"name"_s, here, &error)
                                             : std::nullopt;
    const std::optional<QString> installDir =
        name ? requiredString(root, u"installDir"_s, here, &error) : std::nullopt;
    if (!installDir)
        return {std::nullopt, error};
    if (!isProductCode(*code))
        return {std::nullopt, u"field \"code\" must be 38 characters, \"{\" first and the first \"}\" last, not \""_s
                                  % *code % u'"'};
    product.code = *code;
    product.name = *name;

    const QDir catalogDir = QFileInfo(path).absoluteDir();
    product.installDir = QDir::cleanPath(catalogDir.absoluteFilePath(*installDir));

    const QJsonValue updates = root.value(u"updates"_s);
    if (!updates.isArray())
        return {std::nullopt, u"field \"updates\" must be a list (it may be empty)"_s};

    const QUrl base = QUrl::fromLocalFile(catalogDir.absolutePath() + u'/');
    QSet<QString> ids;
    const QJsonArray list = updates.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString where = u"updates["_s % QString::number(i) % u"]: "_s;
        if (!list.at(i).isObject())
            return {std::nullopt, where % u"must be a JSON object"_s};
        std::optional<CatalogUpdate> update = readUpdate(list.at(i).toObject(), where, base, &error);
        if (!update)
            return {std::nullopt, error};
        if (ids.contains(update->id))
            return {std::nullopt, where % u"id \""_s % update->id % u"\" appears twice"_s};
        ids.insert(update->id);
        product.updates.append(*update);
    }
    return {product, QString()};
}

std::optional<CatalogUpdate> ProductFile::readUpdate(const QJsonObject &object, const QString &where,
                                                     const QUrl &base, QString *error)
{
    CatalogUpdate update;
    const std::optional<QString> id = requiredString(object, u"id"_s, where, error);
    const std::optional<QString> name = id ? requiredString(object, u"name"_s, where, error)
                                           : std::nullopt;
    const std::optional<QString> version =
        name ? requiredString(object, u"version"_s, where, error) : std::nullopt;
    const std::optional<qint64> size = version ? requiredSize(object, where, error) : std::nullopt;
    const std::optional<QByteArray> sha256 = size ? requiredSha256(object, where, error)
                                                  : std::nullopt;
    const std::optional<QUrl> url = sha256 ? requiredPayloadUrl(object, base, where, error)
                                           : std::nullopt;
    if (!url)
        return std::nullopt;
    const std::optional<QString> fileName =
        optionalString(object, u"file"_s, url->fileName(), where, error);
    const std::optional<QString> failureTemplate =
        fileName ? optionalString(object, u"failureText"_s, u"{reason}"_s, where, error)
                 : std::nullopt;
    if (!failureTemplate)
        return std::nullopt;
    if (fileName->isEmpty()) {
        *error = where % u"field \"file\" is needed: the address does not end in a file name"_s;
        return std::nullopt;
    }
    if (!isPlainFileName(*fileName)) {
        *error = where % u"file name \""_s % *fileName
                 % u"\" would leave the install folder (a plain file name is required)"_s;
        return std::nullopt;
    }
    update.id = *id;
    update.name = *name;
    update.version = *version;
    update.size = *size;
    update.sha256 = *sha256;
    update.url = *url;
    update.fileName = *fileName;
    update.failureTemplate = *failureTemplate;
    return update;
}
