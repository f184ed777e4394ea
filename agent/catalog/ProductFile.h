#pragma once

#include "CatalogProduct.h"

#include <QJsonObject>
#include <QString>

#include <optional>

// Reads and checks one catalog file. A file with any fault is refused as a
// whole: a half-read product would offer updates the author did not mean.
class ProductFile
{
public:
    struct Result
    {
        std::optional<CatalogProduct> product;
        QString error; // set when product is empty
    };

    static Result read(const QString &path);
    static Result parse(const QByteArray &json, const QString &path);

    // The product code form the client accepts: 38 characters, "{" first and
    // the first "}" last.
    static bool isProductCode(const QString &code);
    // A name that stays inside its folder: no separators, not "." or "..".
    static bool isPlainFileName(const QString &name);

private:
    static std::optional<CatalogUpdate> readUpdate(const QJsonObject &object, const QString &where,
                                                   const QUrl &base, QString *error);
};
