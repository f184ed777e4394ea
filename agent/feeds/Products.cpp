// SPDX-License-Identifier: GPL-3.0-or-later
#include "feeds/Products.h"

#include "base/AgentLog.h"
#include "base/XdgDirs.h"
#include "feeds/ProductFile.h"

#include <QDir>
#include <QFile>

#include <algorithm>

using namespace Qt::StringLiterals;

void Products::load(const QStringList &folders)
{
    for (const QString &folder : folders)
        loadFolder(folder);
    qCInfo(lcFeeds).noquote() << m_products.size() << "product(s) from" << folders.join(u", "_s);
}

void Products::loadFolder(const QString &folder)
{
    const QDir dir(folder);
    if (!dir.exists())
        return;
    // System entries too: a FIFO or a device named *.json is refused with a
    // line in the log rather than passed over in silence.
    QStringList names = dir.entryList({u"*.json"_s}, QDir::Files | QDir::System, QDir::Unsorted);
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        return QFile::encodeName(a) < QFile::encodeName(b);
    });
    for (const QString &name : std::as_const(names)) {
        const QString path = dir.absoluteFilePath(name);
        const ProductFile::Result result = ProductFile::read(path);
        if (!result.value) {
            qCWarning(lcFeeds).noquote() << "rejected" << AgentLog::cut(path) << "-" << result.error;
            continue;
        }
        if (const Product *known = find(result.value->code)) {
            qCWarning(lcFeeds).noquote() << "ignored" << AgentLog::cut(path) << "- product"
                                         << known->code << "is already defined by"
                                         << AgentLog::cut(known->sourceFile);
            continue;
        }
        add(*result.value);
    }
}

void Products::add(const Product &product)
{
    if (!m_products.contains(key(product.code)))
        m_order.append(key(product.code));
    m_products.insert(key(product.code), product);
}

QList<const Product *> Products::inOrder() const
{
    QList<const Product *> products;
    for (const QString &code : m_order)
        products.append(&m_products.constFind(code).value());
    return products;
}

const Product *Products::find(const QString &code) const
{
    const auto it = m_products.constFind(key(code));
    return it == m_products.cend() ? nullptr : &it.value();
}

QStringList Products::installDirs() const
{
    QStringList dirs;
    for (const Product &product : m_products)
        dirs.append(product.installDir);
    dirs.removeDuplicates();
    return dirs;
}

QStringList Products::defaultFolders()
{
    // The system's folders before the user's, so that the first definition
    // of a code, which wins, is never the user's when the system has one.
    QStringList folders{QStringLiteral(KELVARRA_SYSCONFDIR "/palvane/products"),
                        QStringLiteral(KELVARRA_DATADIR "/palvane/products")};
    for (const QString &dir : XdgDirs::dataDirs())
        folders.append(dir + u"/palvane/products"_s);
    folders.append(XdgDirs::dataHome() + u"/palvane/products"_s);
    folders.append(XdgDirs::configHome() + u"/palvane/products"_s);
    for (QString &folder : folders)
        folder = QDir::cleanPath(folder);
    folders.removeDuplicates();
    return folders;
}
