// SPDX-License-Identifier: GPL-3.0-or-later
#include "FeedVerifier.h"

#include "BoundedFile.h"
#include "Feed.h"
#include "FeedSignature.h"
#include "ProductFile.h"
#include "ToolError.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace FeedVerifier {

namespace {

QString describe(const Feed &feed)
{
    QString text = u"product "_s % feed.product % u", serial "_s % QString::number(feed.serial)
                   % u", expires "_s % feed.expires.toString(Qt::ISODate) % u", "_s
                   % QString::number(feed.updates.size()) % u" update(s)"_s;
    for (const ProductUpdate &update : feed.updates)
        text += u"\n  "_s % update.id % u' ' % update.version % u", "_s
                % QString::number(update.size) % u" bytes from "_s
                % update.url.toDisplayString();
    return text;
}

// Both files as the agent would fetch them: whole, and within its limits.
Verdict checkFiles(const QString &feedPath, const QList<QByteArray> &keys,
                   const QString &productCode, const QUrl &feedUrl)
{
    QString error;
    const std::optional<QByteArray> feed = BoundedFile::read(feedPath, FeedFile::MaxBytes, &error);
    if (!feed)
        return {false, u"size: "_s % feedPath % u": "_s % error, {}};
    const QString signaturePath = feedPath % u".sig"_s;
    const std::optional<QByteArray> signature =
        BoundedFile::read(signaturePath, FeedFile::MaxSignatureBytes, &error);
    if (!signature)
        return {false, u"size: "_s % signaturePath % u": "_s % error, {}};
    return check(*feed, *signature, keys, productCode, feedUrl);
}

QUrl localUrl(const QString &path)
{
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
}

} // namespace

Verdict check(const QByteArray &feed, const QByteArray &signatureFile,
              const QList<QByteArray> &keys, const QString &productCode, const QUrl &feedUrl)
{
    // FeedFile::accept's steps, so that an empty productCode can stand for the feed's own.
    QString error = FeedFile::checkSignature(feed, signatureFile, keys);
    if (!error.isEmpty())
        return {false, error, {}};
    const FeedFile::Result result = FeedFile::parse(feed, feedUrl);
    if (!result.feed)
        return {false, result.error, {}};
    error = FeedFile::checkFor(*result.feed, productCode.isEmpty() ? result.feed->product : productCode,
                               QDateTime::currentDateTimeUtc());
    if (!error.isEmpty())
        return {false, error, {}};
    return {true, {}, describe(*result.feed)};
}

Verdict checkWithProductFile(const QString &feedPath, const QString &productFilePath)
{
    const ProductFile::Result product = ProductFile::read(productFilePath);
    if (!product.product)
        throw ToolError{productFilePath % u": "_s % product.error};
    return checkFiles(feedPath, product.product->keys, product.product->code, product.product->feed);
}

Verdict checkWithKey(const QString &feedPath, const QByteArray &publicKey)
{
    QString error;
    const std::optional<QByteArray> key = FeedSignature::parsePublicKey(publicKey, &error);
    if (!key)
        throw ToolError{u"--key: "_s % error, ToolError::Usage};
    // Without a product file any valid code will do.
    return checkFiles(feedPath, {*key}, QString(), localUrl(feedPath));
}

} // namespace FeedVerifier
