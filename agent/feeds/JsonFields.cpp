// SPDX-License-Identifier: GPL-3.0-or-later
#include "feeds/JsonFields.h"

#include "base/AgentLog.h"
#include "base/JsonText.h"

#include <QJsonDocument>
#include <QJsonValue>

using namespace Qt::StringLiterals;

namespace JsonFields {

std::optional<QJsonObject> parseObject(const QByteArray &json, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = u"not valid JSON: "_s % parseError.errorString() % u" at offset "_s
                 % QString::number(parseError.offset);
        return std::nullopt;
    }
    if (!document.isObject()) {
        *error = u"the top level must be a JSON object"_s;
        return std::nullopt;
    }
    if (const QString fault = JsonText::fault(json); !fault.isEmpty()) {
        *error = fault;
        return std::nullopt;
    }
    return document.object();
}

std::optional<QString> requiredString(const QJsonObject &object, const QString &key,
                                      const QString &where, QString *error)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined()) {
        *error = where % u"missing field \""_s % key % u'"';
        return std::nullopt;
    }
    if (!value.isString() || value.toString().trimmed().isEmpty()) {
        *error = where % u"field \""_s % key % u"\" must be a non-empty text"_s;
        return std::nullopt;
    }
    return value.toString();
}

std::optional<QString> optionalString(const QJsonObject &object, const QString &key,
                                      const QString &fallback, const QString &where,
                                      QString *error)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        return fallback;
    if (!value.isString()) {
        *error = where % u"field \""_s % key % u"\" must be a text"_s;
        return std::nullopt;
    }
    return value.toString();
}

std::optional<qint64> requiredInteger(const QJsonObject &object, const QString &key,
                                      qint64 minimum, const QString &where, QString *error)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined()) {
        *error = where % u"missing field \""_s % key % u'"';
        return std::nullopt;
    }
    const double number = value.toDouble(-1);
    // Any text of 2^53 or more reads as at least 2^53, so this also refuses
    // 2^53 + 1, which a double cannot tell from 2^53.
    if (!value.isDouble() || number < double(minimum) || number >= IntegerLimit
        || number != double(qint64(number))) {
        *error = where % u"field \""_s % key % u"\" must be a whole number from "_s
                 % QString::number(minimum) % u" to 2^53 - 1"_s;
        return std::nullopt;
    }
    return qint64(number);
}

std::optional<QUrl> address(const QString &text, const QUrl &base, QString *error)
{
    const QUrl given(text);
    const QUrl url = base.resolved(given);
    const QString scheme = url.scheme();
    if (!given.isValid() || !url.isValid()
        || (scheme != u"file"_s && scheme != u"http"_s && scheme != u"https"_s)) {
        *error = u"must be a file://, http:// or https:// address, not \""_s % AgentLog::cut(text)
                 % u'"';
        return std::nullopt;
    }
    if (scheme != u"file"_s) {
        if (url.host().isEmpty()) {
            *error = u"names no server: \""_s % AgentLog::cut(text) % u'"';
            return std::nullopt;
        }
        return url;
    }
    // file://otherhost/x is not a local file; opening "//otherhost/x"
    // would read something else.
    if (!url.host().isEmpty() && url.host() != u"localhost"_s) {
        *error = u"names another host, \""_s % AgentLog::cut(url.host())
                 % u"\", in a file:// address"_s;
        return std::nullopt;
    }
    if (url.path().isEmpty() || url.path() == u"/"_s) {
        *error = u"must name a local file"_s;
        return std::nullopt;
    }
    return url.host().isEmpty() ? url : QUrl::fromLocalFile(url.path());
}

} // namespace JsonFields
