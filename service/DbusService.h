// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "UpdateService.h"

#include <QDBusConnection>
#include <QString>

#include <optional>

class ComPalvaneUpdateServiceAgentInterface;
class ComPalvaneUpdateServiceServiceInterface;

// The service object at the unique name that owned the service name when it
// was created; a later owner of that name is a different service.
class DbusService : public UpdateService
{
public:
    DbusService(const QDBusConnection &bus, const QString &owner);
    ~DbusService() override;

    qint16 IsConnected(const QString &strProdCode) override;
    std::shared_ptr<UpdateCollection> GetUpdates(const QString &strProdCode) override;
    QVariantMap productStatus(const QString &strProdCode) override;

private:
    QDBusConnection m_bus;
    QString m_owner;
    std::unique_ptr<ComPalvaneUpdateServiceAgentInterface> m_agent;
    std::unique_ptr<ComPalvaneUpdateServiceServiceInterface> m_service;
    // Whether the service object lists the status interface; asked once.
    std::optional<bool> m_hasStatus;
};
