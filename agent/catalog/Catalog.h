#pragma once

#include "CatalogProduct.h"

#include <QHash>
#include <QStringList>

// Every product the agent knows, read once from the catalog folders.
class Catalog
{
public:
    // Folders in order of precedence: the first file that names a code wins.
    void load(const QStringList &folders);
    void add(const CatalogProduct &product);

    const CatalogProduct *find(const QString &code) const;
    qsizetype size() const { return m_products.size(); }

    // --catalog DIR when given, else $XDG_DATA_HOME/palvane/catalog and then
    // the same below each of $XDG_DATA_DIRS.
    static QStringList defaultFolders();

private:
    void loadFolder(const QString &folder);
    static QString key(const QString &code) { return code.toUpper(); }

    QHash<QString, CatalogProduct> m_products;
};
