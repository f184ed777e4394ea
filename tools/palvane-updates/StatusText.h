// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariantMap>

// A product's status as the agent's status interface gives it, in the
// shapes the commands print.
namespace StatusText {

QList<QVariantMap> updates(const QVariantMap &status);
// Updates not installed: what GetUpdates offers.
QList<QVariantMap> offered(const QVariantMap &status);
bool feedFailed(const QVariantMap &status);

// What is wrong and what to do about it, one sentence each; empty when
// nothing is.
QStringList problems(const QVariantMap &status);
// Everything, readable, the problems first.
QString readable(const QVariantMap &status);
// One line for `list` and `check`.
QString summary(const QVariantMap &status);

QJsonObject json(const QVariantMap &status);
// Control characters escaped: a text from a feed stays one line.
QString oneLine(const QString &text);
QString size(qint64 bytes);

} // namespace StatusText
