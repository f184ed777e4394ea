// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "feeds/Product.h"

#include <QHash>
#include <QStringList>

// Every product the agent knows, read once from the products folders.
class Products
{
public:
    // Folders in order of precedence: the first file that names a code wins.
    void load(const QStringList &folders);
    void add(const Product &product);

    const Product *find(const QString &code) const;
    qsizetype size() const { return m_products.size(); }
    // Every product, in the order they were read.
    QList<const Product *> inOrder() const;
    QStringList installDirs() const;

    // <sysconfdir>/palvane/products and <datadir>/palvane/products of the
    // install prefix, palvane/products in each $XDG_DATA_DIRS folder, then
    // in $XDG_DATA_HOME and $XDG_CONFIG_HOME; each folder once.
    static QStringList defaultFolders();

private:
    void loadFolder(const QString &folder);
    static QString key(const QString &code) { return code.toUpper(); }

    QHash<QString, Product> m_products;
    QStringList m_order;
};
