// SPDX-License-Identifier: GPL-3.0-or-later
#include "FeedDocument.h"

#include "base/AtomicFile.h"
#include "base/BoundedFile.h"
#include "feeds/JsonFields.h"
#include "ToolError.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace Qt::StringLiterals;

namespace {

// The agent's limits: a feed of at most 1 MiB, serials up to 2^53 - 1.
constexpr qint64 MaxFeedBytes = 1024 * 1024;
constexpr qint64 MaxSerial = (qint64(1) << 53) - 1;

const QString Product = u"product"_s;
const QString Serial = u"serial"_s;
const QString Expires = u"expires"_s;
const QString Updates = u"updates"_s;

} // namespace

FeedDocument FeedDocument::load(const QString &path)
{
    QString error;
    const std::optional<QByteArray> bytes = BoundedFile::read(path, MaxFeedBytes, &error);
    if (!bytes)
        throw ToolError{path % u": "_s % error};
    // The agent's reading, so that what is signed is what the agent would read.
    const std::optional<QJsonObject> root = JsonFields::parseObject(*bytes, &error);
    if (!root)
        throw ToolError{path % u": "_s % error};
    FeedDocument feed;
    feed.m_root = *root;
    const double serial = feed.m_root.value(Serial).toDouble(-1);
    if (!feed.m_root.value(Product).isString()
        || !feed.m_root.value(Updates).isArray() || serial < 0 || serial > double(MaxSerial)
        || serial != double(qint64(serial)))
        throw ToolError{path % u": not a feed: it needs \"product\", a whole \"serial\" and a list of \"updates\""_s};
    return feed;
}

FeedDocument FeedDocument::create(const QString &productCode)
{
    FeedDocument feed;
    feed.m_root = {{Product, productCode}, {Serial, 0}, {Updates, QJsonArray()}};
    return feed;
}

QString FeedDocument::product() const
{
    return m_root.value(Product).toString();
}

qint64 FeedDocument::serial() const
{
    return qint64(m_root.value(Serial).toDouble());
}

QJsonObject FeedDocument::update(const QString &id) const
{
    for (const QJsonValue &update : m_root.value(Updates).toArray()) {
        if (update.toObject().value(u"id"_s).toString() == id)
            return update.toObject();
    }
    throw ToolError{u"the feed has no update with the id "_s % id, ToolError::Usage};
}

void FeedDocument::putUpdate(const QJsonObject &update)
{
    QJsonArray updates = m_root.value(Updates).toArray();
    const QJsonValue id = update.value(u"id"_s);
    qsizetype at = 0;
    while (at < updates.size() && updates.at(at).toObject().value(u"id"_s) != id)
        ++at;
    if (at < updates.size())
        updates.replace(at, update);
    else
        updates.append(update);
    m_root.insert(Updates, updates);
}

void FeedDocument::renew(const QDateTime &expires)
{
    if (serial() >= MaxSerial)
        throw ToolError{u"the serial cannot go higher than "_s % QString::number(MaxSerial)};
    m_root.insert(Serial, serial() + 1);
    m_root.insert(Expires, expires.toUTC().toString(u"yyyy-MM-ddTHH:mm:ssZ"_s));
}

QByteArray FeedDocument::toJson() const
{
    return QJsonDocument(m_root).toJson(QJsonDocument::Indented);
}

void writeAtomically(const QString &path, const QByteArray &content)
{
    QString error;
    if (!AtomicFile::replace(path, content, &error))
        throw ToolError{error};
}
