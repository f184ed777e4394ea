// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "UpdateItem.h"

#include <QDBusConnection>
#include <QString>

class ComPalvaneUpdateServiceUpdateItemInterface;

// An update item, already known to provide the item interface. Its events are
// the item interface's signals sent by the owner from the item's own path;
// the subscription lives exactly as long as this object.
class DbusItem : public UpdateItem
{
    Q_OBJECT

public:
    DbusItem(const QDBusConnection &bus, const QString &owner, const QString &path);
    ~DbusItem() override;

    static const char *interfaceName();
    static const char *eventsInterfaceName();

    QString GetName(int n) override;
    void Cancel() override;
    qint16 PrepareDownload(qint16 b) override;
    void Execute() override;
    QString GetText(int n) override;

private:
    struct Event {
        const char *member;
        const char *signature;
        // The item's own signal that relays it.
        const char *relay;
    };
    static const Event s_events[3];

    void subscribe();
    void unsubscribe();

    QDBusConnection m_bus;
    QString m_owner;
    QString m_path;
    std::unique_ptr<ComPalvaneUpdateServiceUpdateItemInterface> m_proxy;
};
