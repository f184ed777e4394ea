// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// One update of a product, as its signed feed describes it.
struct ProductUpdate
{
    QString id;
    QString name;
    QString version;
    qint64 size = 0;
    QByteArray sha256; // raw digest, 32 bytes
    QUrl url;
    QString fileName; // plain name inside the product's install folder
    QString failureTemplate;

    bool operator==(const ProductUpdate &) const = default;
};
