// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <optional>

// Field readers shared by the product file and the feed. Each sets *error to
// "<where>field ..." and returns nothing when the field is missing or wrong.
namespace JsonFields {

// JSON numbers are doubles: from 2^53 on, two different texts read as one
// number, so whole numbers must stay below it.
constexpr double IntegerLimit = 9007199254740992.0;

// Refuses what JsonText::fault() finds too: repeated keys and NUL in texts.
std::optional<QJsonObject> parseObject(const QByteArray &json, QString *error);

std::optional<QString> requiredString(const QJsonObject &object, const QString &key,
                                      const QString &where, QString *error);
std::optional<QString> optionalString(const QJsonObject &object, const QString &key,
                                      const QString &fallback, const QString &where,
                                      QString *error);
// A whole number in [minimum, 2^53).
std::optional<qint64> requiredInteger(const QJsonObject &object, const QString &key,
                                      qint64 minimum, const QString &where, QString *error);

// A file://, http:// or https:// address, relative ones taken from base. A
// file:// address must be local: no host but "localhost".
std::optional<QUrl> address(const QString &text, const QUrl &base, QString *error);

} // namespace JsonFields
