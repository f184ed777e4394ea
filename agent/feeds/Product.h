// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "feeds/ProductUpdate.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

// A product as its product file describes it. `updates` is empty there; a
// collection holds a copy with the updates it offers from the product's feed.
struct Product
{
    QString code;
    QString name;
    QString installDir; // absolute, cleaned
    QString sourceFile; // the product file it came from
    // The same feed at 1 to 8 addresses, tried in this order.
    QList<QUrl> feeds;
    QList<QByteArray> keys; // raw Ed25519 public keys, 32 bytes each
    QList<ProductUpdate> updates;
};
