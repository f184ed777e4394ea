#pragma once

#include "CatalogUpdate.h"

#include <QList>
#include <QString>

// A product of the catalog with its updates in catalog order.
struct CatalogProduct
{
    QString code;
    QString name;
    QString installDir; // absolute, cleaned
    QString sourceFile; // the catalog file it came from
    QList<CatalogUpdate> updates;
};
