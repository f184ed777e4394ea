// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "base/Result.h"
#include "feeds/Product.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Reads and checks one product file. A file with any fault is refused as a
// whole: a half-read product could trust a key or a feed nobody meant.
class ProductFile
{
public:
    static constexpr qint64 MaxBytes = 1024 * 1024;
    static constexpr qsizetype MaxKeys = 8;
    static constexpr qsizetype MaxFeeds = 8;

    using Result = ::Result<Product>;

    // Only a regular file of at most MaxBytes is read.
    static Result read(const QString &path);
    // `path` places relative installDir and feed values; nothing is read.
    static Result parse(const QByteArray &json, const QString &path);

    // The product code form the client accepts: 38 characters, "{" first and
    // the first "}" last.
    static bool isProductCode(const QString &code);
    // installDir with a leading "~/" or "$XDG_DATA_HOME/" made this user's.
    static QString perUser(const QString &installDir);
    // A name that stays inside its folder: no separators, not "." or "..".
    static bool isPlainFileName(const QString &name);
};
