// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QVariantMap>

// One line for standard error on what the prompts cannot say, from the
// service's optional product status. Empty when the status says nothing.
namespace StatusHint {

// Why the service is not connected for the product, with the command that
// tells more.
QString notConnected(const QVariantMap &status, const QString &strProdCode);
// Why PrepareDownload refused the update called `name`.
QString notStarted(const QVariantMap &status, const QString &name);

} // namespace StatusHint
