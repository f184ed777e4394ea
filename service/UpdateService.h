// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>

class UpdateCollection;

// The update service object. Operations throw RuntimeError when they fail.
class UpdateService
{
public:
    virtual ~UpdateService() = default;

    // 16-bit boolean: any non-zero value means connected.
    virtual qint16 IsConnected(const QString &strProdCode) = 0;
    // The collection is already known to provide the UpdateCollection interface.
    virtual std::shared_ptr<UpdateCollection> GetUpdates(const QString &strProdCode) = 0;

    // Beside the contract, for diagnostics only: what the service says of a
    // product through its optional status interface (the keys are in
    // com.palvane.UpdateService.Status.xml). Empty when the service has no
    // such interface or the call fails in any way; never throws.
    virtual QVariantMap productStatus(const QString &strProdCode)
    {
        Q_UNUSED(strProdCode);
        return {};
    }
};

// Creates the service object; throws RuntimeError when it cannot.
using UpdateServiceFactory = std::function<std::unique_ptr<UpdateService>()>;
