// SPDX-License-Identifier: GPL-3.0-or-later
#include "FeedVerifier.h"

#include "feeds/Feed.h"
#include "feeds/FeedSignature.h"
#include "feeds/ProductFile.h"
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
    QByteArray feed;
    QByteArray signature;
    if (const QString error = FeedFile::readFiles(feedPath, &feed, &signature); !error.isEmpty())
        return {false, error, {}};
    return check(feed, signature, keys, productCode, feedUrl);
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
    if (!result.value)
        return {false, result.error, {}};
    error = FeedFile::checkFor(*result.value, productCode.isEmpty() ? result.value->product : productCode,
                               QDateTime::currentDateTimeUtc());
    if (!error.isEmpty())
        return {false, error, {}};
    return {true, {}, describe(*result.value)};
}

Product readProduct(const QString &path)
{
    const ProductFile::Result product = ProductFile::read(path);
    if (!product.value)
        throw ToolError{path % u": "_s % product.error};
    return *product.value;
}

Verdict checkWithProduct(const QString &feedPath, const Product &product)
{
    QByteArray feed;
    QByteArray signature;
    if (const QString error = FeedFile::readFiles(feedPath, &feed, &signature); !error.isEmpty())
        return {false, error, {}};
    Verdict verdict = check(feed, signature, product.keys, product.code, product.feeds.first());
    // The agent takes relative payload addresses from the mirror that served
    // the feed: each address must give usable ones.
    for (qsizetype i = 1; verdict.accepted && i < product.feeds.size(); ++i) {
        const FeedFile::Result result = FeedFile::parse(feed, product.feeds.at(i));
        const QString where = product.feeds.at(i).toDisplayString();
        if (!result.value)
            return {false, result.error % u" (served from "_s % where % u')', {}};
        verdict.summary += u"\nserved from "_s % where % u':';
        for (const ProductUpdate &update : result.value->updates)
            verdict.summary += u"\n  "_s % update.id % u" from "_s % update.url.toDisplayString();
    }
    return verdict;
}

Verdict checkWithKey(const QString &feedPath, const QByteArray &publicKey)
{
    QString error;
    const std::optional<QByteArray> key = FeedSignature::parsePublicKey(publicKey, &error);
    if (!key)
        throw ToolError{u"--key "_s % error, ToolError::Usage};
    // Without a product file any valid code will do.
    return checkFiles(feedPath, {*key}, QString(), localUrl(feedPath));
}

} // namespace FeedVerifier
