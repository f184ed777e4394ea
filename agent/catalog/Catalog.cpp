#include "Catalog.h"

#include "AgentLog.h"
#include "ProductFile.h"

#include <QDir>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

void Catalog::load(const QStringList &folders)
{
    for (const QString &folder : folders)
        loadFolder(folder);
    qCInfo(lcCatalog).noquote() << m_products.size() << "product(s) from" << folders.join(u", "_s);
}

void Catalog::loadFolder(const QString &folder)
{
    const QDir dir(folder);
    if (!dir.exists())
        return;
    const QStringList names = dir.entryList({u"*.json"_s}, QDir::Files | QDir::Readable, QDir::Name);
    for (const QString &name : names) {
        const QString path = dir.absoluteFilePath(name);
        const ProductFile::Result result = ProductFile::read(path);
        if (!result.product) {
            qCWarning(lcCatalog).noquote() << "rejected" << path << "-" << result.error;
            continue;
        }
        if (const CatalogProduct *known = find(result.product->code)) {
            qCWarning(lcCatalog).noquote() << "ignored" << path << "- product" << known->code
                                           << "is already defined by" << known->sourceFile;
            continue;
        }
        add(*result.product);
    }
}

void Catalog::add(const CatalogProduct &product)
{
    m_products.insert(key(product.code), product);
}

const CatalogProduct *Catalog::find(const QString &code) const
{
    const auto it = m_products.constFind(key(code));
    return it == m_products.cend() ? nullptr : &it.value();
}

QStringList Catalog::defaultFolders()
{
    QStringList folders;
    const QStringList dataDirs = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    for (const QString &dataDir : dataDirs)
        folders.append(dataDir + u"/palvane/catalog"_s);
    return folders;
}
