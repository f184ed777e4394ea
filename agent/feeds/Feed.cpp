// SPDX-License-Identifier: GPL-3.0-or-later
#include "feeds/Feed.h"

#include "base/AgentLog.h"
#include "base/BoundedFile.h"
#include "feeds/FeedSignature.h"
#include "feeds/JsonFields.h"
#include "feeds/ProductFile.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

std::optional<QByteArray> requiredSha256(const QJsonObject &object, const QString &where,
                                         QString *error, const QString &key = u"sha256"_s)
{
    const std::optional<QString> text = JsonFields::requiredString(object, key, where, error);
    if (!text)
        return std::nullopt;
    static const QRegularExpression hex(u"^[0-9a-fA-F]{64}$"_s);
    if (!hex.match(*text).hasMatch()) {
        *error = where % u"field \""_s % key % u"\" must be 64 hexadecimal digits"_s;
        return std::nullopt;
    }
    return QByteArray::fromHex(text->toLatin1());
}

// The fields only an archive update has. Its version names its tree, so it
// must be a plain name.
bool readArchiveFields(const QJsonObject &object, const QString &where, const QString &version,
                       ProductUpdate *update, QString *error)
{
    static const QRegularExpression plain(u"^[A-Za-z0-9._+~-]{1,64}$"_s);
    if (!plain.match(version).hasMatch()) {
        *error = where % u"field \"version\" of an archive must be 1 to 64 of "_s
                 % u"A-Z a-z 0-9 . _ + ~ -, not \""_s % version % u'"';
        return false;
    }
    // The agent's own name for trees being made or removed, which it clears
    // at start: a tree of that name would not survive.
    if (version.contains(u".unpack-"_s)) {
        *error = where % u"field \"version\" of an archive must not hold \".unpack-\""_s;
        return false;
    }
    if (object.contains(u"deltas"_s)) {
        *error = where % u"an archive update carries no \"deltas\""_s;
        return false;
    }
    const std::optional<qint64> unpackedSize =
        JsonFields::requiredInteger(object, u"unpackedSize"_s, 0, where, error);
    if (!unpackedSize)
        return false;
    update->install = ProductUpdate::Install::Archive;
    update->unpackedSize = *unpackedSize;
    return true;
}

// A relative address from the further feed addresses, in their order.
QList<QUrl> mirrored(const QString &text, const QList<QUrl> &bases)
{
    QList<QUrl> urls;
    if (!QUrl(text).isRelative())
        return urls;
    QString ignored;
    for (qsizetype i = 1; i < bases.size(); ++i) {
        if (const std::optional<QUrl> url = JsonFields::address(text, bases.at(i), &ignored))
            urls.append(*url);
    }
    return urls;
}

std::optional<ProductUpdate::Delta> readDelta(const QJsonObject &object, const QString &where,
                                             const QList<QUrl> &bases, QString *error)
{
    using namespace JsonFields;
    const std::optional<QByteArray> from = requiredSha256(object, where, error, u"fromSha256"_s);
    const std::optional<QString> urlText = from ? requiredString(object, u"url"_s, where, error)
                                                : std::nullopt;
    const std::optional<qint64> size =
        urlText ? requiredInteger(object, u"size"_s, 1, where, error) : std::nullopt;
    const std::optional<QByteArray> sha256 = size ? requiredSha256(object, where, error)
                                                  : std::nullopt;
    if (!sha256)
        return std::nullopt;
    const std::optional<QUrl> url = address(*urlText, bases.first(), error);
    if (!url) {
        *error = where % u"field \"url\" "_s % *error;
        return std::nullopt;
    }
    return ProductUpdate::Delta{*from, *url, *size, *sha256, mirrored(*urlText, bases)};
}

bool readDeltas(const QJsonObject &object, const QString &where, const QList<QUrl> &bases,
                ProductUpdate *update, QString *error)
{
    const QJsonValue value = object.value(u"deltas"_s);
    if (value.isUndefined())
        return true;
    if (!value.isArray() || value.toArray().size() > ProductUpdate::MaxDeltas) {
        *error = where % u"field \"deltas\" must be a list of at most "_s
                 % QString::number(ProductUpdate::MaxDeltas) % u" deltas"_s;
        return false;
    }
    const QJsonArray list = value.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString at = where % u"deltas["_s % QString::number(i) % u"]: "_s;
        if (!list.at(i).isObject()) {
            *error = at % u"must be a JSON object"_s;
            return false;
        }
        const std::optional<ProductUpdate::Delta> delta =
            readDelta(list.at(i).toObject(), at, bases, error);
        if (!delta)
            return false;
        // Two from one file: which applies would depend on their order.
        for (const ProductUpdate::Delta &known : std::as_const(update->deltas)) {
            if (known.fromSha256 == delta->fromSha256) {
                *error = at % u"field \"fromSha256\" repeats that of another delta"_s;
                return false;
            }
        }
        update->deltas.append(*delta);
    }
    return true;
}

// A percentage with at most two decimals, as hundredths; 100 % when absent.
std::optional<int> readRollout(const QJsonObject &object, const QString &where, QString *error)
{
    const QJsonValue value = object.value(u"rollout"_s);
    if (value.isUndefined())
        return 10000;
    const double percent = value.toDouble(-1);
    const double hundredths = percent * 100.0;
    if (!value.isDouble() || percent < 0 || percent > 100
        || std::abs(hundredths - std::round(hundredths)) > 1e-6) {
        *error = where % u"field \"rollout\" must be a number from 0 to 100 with at most two decimals"_s;
        return std::nullopt;
    }
    return int(std::lround(hundredths));
}

std::optional<ProductUpdate> readUpdate(const QJsonObject &object, const QString &where,
                                        const QList<QUrl> &bases, QString *error)
{
    using namespace JsonFields;
    const std::optional<QString> id = requiredString(object, u"id"_s, where, error);
    const std::optional<QString> name = id ? requiredString(object, u"name"_s, where, error)
                                           : std::nullopt;
    const std::optional<QString> version =
        name ? requiredString(object, u"version"_s, where, error) : std::nullopt;
    const std::optional<qint64> size =
        version ? requiredInteger(object, u"size"_s, 0, where, error) : std::nullopt;
    const std::optional<QByteArray> sha256 = size ? requiredSha256(object, where, error)
                                                  : std::nullopt;
    const std::optional<QString> urlText = sha256 ? requiredString(object, u"url"_s, where, error)
                                                  : std::nullopt;
    const std::optional<QString> install =
        urlText ? optionalString(object, u"install"_s, u"file"_s, where, error) : std::nullopt;
    const std::optional<int> rollout = install ? readRollout(object, where, error) : std::nullopt;
    if (!rollout)
        return std::nullopt;
    const std::optional<QUrl> url = address(*urlText, bases.first(), error);
    if (!url) {
        *error = where % u"field \"url\" "_s % *error;
        return std::nullopt;
    }
    ProductUpdate update;
    update.mirrorUrls = mirrored(*urlText, bases);
    if (*install == u"archive"_s) {
        if (!readArchiveFields(object, where, *version, &update, error))
            return std::nullopt;
    } else if (*install == u"file"_s) {
        if (!readDeltas(object, where, bases, &update, error))
            return std::nullopt;
    } else {
        *error = where % u"field \"install\" must be \"file\" or \"archive\", not \""_s % *install
                 % u'"';
        return std::nullopt;
    }
    // An archive's file is the link the product runs through, not a payload.
    const std::optional<QString> fileName = optionalString(
        object, u"file"_s, update.isArchive() ? *id : url->fileName(), where, error);
    const std::optional<QString> failureTemplate =
        fileName ? optionalString(object, u"failureText"_s, u"{reason}"_s, where, error)
                 : std::nullopt;
    if (!failureTemplate)
        return std::nullopt;
    if (fileName->isEmpty()) {
        *error = where % u"field \"file\" is needed: the address does not end in a file name"_s;
        return std::nullopt;
    }
    if (!ProductFile::isPlainFileName(*fileName)) {
        *error = where % u"file name \""_s % AgentLog::cut(*fileName)
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
    update.rollout = *rollout;
    return update;
}

} // namespace

QString FeedFile::checkSignature(const QByteArray &feed, const QByteArray &signatureFile,
                             const QList<QByteArray> &keys)
{
    if (feed.size() > MaxBytes)
        return u"size: the feed is larger than "_s % QString::number(MaxBytes) % u" bytes"_s;
    if (signatureFile.size() > MaxSignatureBytes)
        return u"size: the signature file is larger than "_s % QString::number(MaxSignatureBytes)
               % u" bytes"_s;
    QString error;
    const std::optional<QByteArray> signature =
        FeedSignature::parseSignatureFile(signatureFile, &error);
    if (!signature)
        return u"signature: "_s % error;
    for (const QByteArray &key : keys) {
        if (FeedSignature::verify(feed, *signature, key))
            return {};
    }
    return u"signature: it does not verify with any of the product's "_s
           % QString::number(keys.size()) % u" key(s)"_s;
}

FeedFile::Result FeedFile::parse(const QByteArray &bytes, const QUrl &feedUrl,
                                 const QList<QUrl> &mirrors)
{
    using namespace JsonFields;
    auto refuse = [](const QString &why) { return Result{std::nullopt, u"content: "_s % why}; };
    QString error;
    const std::optional<QJsonObject> root = parseObject(bytes, &error);
    if (!root)
        return refuse(error);
    const QString here;
    const std::optional<QString> product = requiredString(*root, u"product"_s, here, &error);
    const std::optional<qint64> serial =
        product ? requiredInteger(*root, u"serial"_s, 1, here, &error) : std::nullopt;
    const std::optional<QString> expires =
        serial ? requiredString(*root, u"expires"_s, here, &error) : std::nullopt;
    if (!expires)
        return refuse(error);
    Feed feed;
    feed.product = *product;
    feed.serial = *serial;
    feed.expires = parseTime(*expires);
    if (!feed.expires.isValid())
        return refuse(u"field \"expires\" must be a time in RFC 3339 form, not \""_s
                      % AgentLog::cut(*expires) % u'"');

    const QJsonValue updates = root->value(u"updates"_s);
    if (!updates.isArray())
        return refuse(u"field \"updates\" must be a list (it may be empty)"_s);
    QSet<QString> ids;
    const QJsonArray list = updates.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString where = u"updates["_s % QString::number(i) % u"]: "_s;
        if (!list.at(i).isObject())
            return refuse(where % u"must be a JSON object"_s);
        std::optional<ProductUpdate> update = readUpdate(list.at(i).toObject(), where, QList<QUrl>{feedUrl} + mirrors,
                                                         &error);
        if (!update)
            return refuse(error);
        if (ids.contains(update->id))
            return refuse(where % u"id \""_s % AgentLog::cut(update->id) % u"\" appears twice"_s);
        ids.insert(update->id);
        feed.updates.append(*update);
    }
    return {feed, QString()};
}

QString FeedFile::checkFor(const Feed &feed, const QString &productCode, const QDateTime &now)
{
    if (feed.product.compare(productCode, Qt::CaseInsensitive) != 0)
        return u"product: the feed is for "_s % AgentLog::cut(feed.product) % u", not "_s
               % AgentLog::cut(productCode);
    if (feed.expires <= now)
        return u"expiry: the feed expired at "_s % feed.expires.toString(Qt::ISODate);
    return {};
}

FeedFile::Result FeedFile::accept(const QByteArray &bytes, const QByteArray &signatureFile,
                          const QList<QByteArray> &keys, const QString &productCode,
                          const QUrl &feedUrl, const QDateTime &now, const QList<QUrl> &mirrors)
{
    QString error = checkSignature(bytes, signatureFile, keys);
    if (!error.isEmpty())
        return {std::nullopt, error};
    Result result = parse(bytes, feedUrl, mirrors);
    if (!result.value)
        return result;
    error = checkFor(*result.value, productCode, now);
    if (!error.isEmpty())
        return {std::nullopt, error};
    return result;
}

QDateTime FeedFile::parseTime(const QString &text)
{
    static const QRegularExpression form(
        u"^(\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2})(?:\\.(\\d{1,9}))?(Z|[+-]\\d{2}:\\d{2})$"_s,
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return {};
    // Qt reads at most milliseconds; finer digits do not change the answer
    // to "has it expired".
    const QString millis = QString(match.captured(2) + u"000"_s).left(3);
    const QString zone = match.captured(3).toUpper();
    QDateTime time = QDateTime::fromString(match.captured(1).toUpper() % u'.' % millis % zone,
                                           Qt::ISODateWithMs);
    return time.isValid() ? time.toUTC() : QDateTime();
}

QString FeedFile::readFiles(const QString &feedPath, QByteArray *feed, QByteArray *signatureFile)
{
    const auto readOne = [](const QString &path, const QString &what, qint64 limit,
                            QByteArray *content) -> QString {
        QString error;
        const std::optional<QByteArray> bytes = BoundedFile::read(path, limit, &error);
        if (bytes) {
            *content = *bytes;
            return {};
        }
        return QFileInfo(path).size() > limit ? tooLarge(what, limit)
                                              : u"cannot read "_s % AgentLog::cut(path)
                                                    % u": "_s % error;
    };
    QString error = readOne(feedPath, u"feed"_s, MaxBytes, feed);
    if (error.isEmpty())
        error = readOne(feedPath % u".sig"_s, u"signature file"_s, MaxSignatureBytes, signatureFile);
    return error;
}

QString FeedFile::tooLarge(const QString &what, qint64 limit)
{
    return u"size: the "_s % what % u" is larger than "_s % QString::number(limit) % u" bytes"_s;
}
