// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "feeds/Product.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

// The agent's acceptance rules 1 to 5, applied through the agent's own
// checks to a feed on disk or in memory.
namespace FeedVerifier {

struct Verdict
{
    bool accepted = false;
    QString reason;  // which rule refused it, when one did
    QString summary; // what was found: product, serial, expiry, updates
};

// keys: raw 32-byte Ed25519 public keys. An empty productCode accepts the
// feed's own. feedUrl places relative payload addresses.
Verdict check(const QByteArray &feed, const QByteArray &signatureFile,
              const QList<QByteArray> &keys, const QString &productCode, const QUrl &feedUrl);
// The product file as the agent reads it; throws ToolError when it would
// refuse it.
Product readProduct(const QString &path);
// FEED and FEED.sig against a product file's code and keys.
Verdict checkWithProduct(const QString &feedPath, const Product &product);
// FEED and FEED.sig against one key in product-file form; any product code.
Verdict checkWithKey(const QString &feedPath, const QByteArray &publicKey);

} // namespace FeedVerifier
