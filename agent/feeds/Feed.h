// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "base/Result.h"
#include "feeds/ProductUpdate.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

// A product's signed list of updates.
struct Feed
{
    QString product;
    qint64 serial = 0;
    QDateTime expires; // UTC
    QList<ProductUpdate> updates;
};

// The acceptance checks that need no state. Every error text starts with the
// name of the check that failed ("size:", "signature:", "content:",
// "product:", "expiry:"), so one log line tells which rule refused a feed.
class FeedFile
{
public:
    static constexpr qint64 MaxBytes = 1024 * 1024;
    static constexpr qint64 MaxSignatureBytes = 4096;

    using Result = ::Result<Feed>;

    // Rules 1 and 2: both files within their limits, and the signature file
    // signs the feed's exact bytes with one of the keys. Empty when it does.
    static QString checkSignature(const QByteArray &feed, const QByteArray &signatureFile,
                                  const QList<QByteArray> &keys);
    // Rule 3: well-formed JSON with every field valid; a relative payload
    // url is taken from feedUrl, and from each of mirrors for mirrorUrls.
    static Result parse(const QByteArray &feed, const QUrl &feedUrl,
                        const QList<QUrl> &mirrors = {});
    // Rules 4 and 5: the feed is for productCode and has not expired at now.
    static QString checkFor(const Feed &feed, const QString &productCode, const QDateTime &now);
    // Rules 1 to 5 in order.
    static Result accept(const QByteArray &feed, const QByteArray &signatureFile,
                         const QList<QByteArray> &keys, const QString &productCode,
                         const QUrl &feedUrl, const QDateTime &now,
                         const QList<QUrl> &mirrors = {});

    // Reads a local feed and its signature file (the feed's path with ".sig")
    // within their limits. Empty when both were read, else why not; a file
    // over its limit is a "size:" refusal.
    static QString readFiles(const QString &feedPath, QByteArray *feed, QByteArray *signatureFile);
    // "size: the <what> is larger than <limit> bytes".
    static QString tooLarge(const QString &what, qint64 limit);

    // RFC 3339 ("2027-01-08T00:00:00Z", an offset or fractions allowed);
    // invalid when the text is not of that form.
    static QDateTime parseTime(const QString &text);
};
