// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "UpdateCollection.h"

#include <QDBusConnection>
#include <QString>

class ComPalvaneUpdateServiceUpdateCollectionInterface;

// A collection object, already known to provide the collection interface.
class DbusCollection : public UpdateCollection
{
public:
    DbusCollection(const QDBusConnection &bus, const QString &owner, const QString &path);
    ~DbusCollection() override;

    static const char *interfaceName();

    int Count() override;
    std::shared_ptr<UpdateItem> Item(int index) override;

private:
    QString itemPath(int index);

    QDBusConnection m_bus;
    QString m_owner;
    std::unique_ptr<ComPalvaneUpdateServiceUpdateCollectionInterface> m_proxy;
};
