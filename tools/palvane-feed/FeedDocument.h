// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

// A feed as the vendor edits it. Only the structure needed for editing is
// checked here; whether the agent would accept the result is the feed
// checks' business (sign runs them before it writes anything).
class FeedDocument
{
public:
    // Throws ToolError when the file cannot be read or is not a feed.
    static FeedDocument load(const QString &path);
    // A new feed at serial 0, so that its first signing gives serial 1.
    static FeedDocument create(const QString &productCode);

    QString product() const;
    qint64 serial() const;
    // The update with this id; throws ToolError when there is none.
    QJsonObject update(const QString &id) const;
    // Replaces the update with the same id in place, or appends it.
    void putUpdate(const QJsonObject &update);
    // The next serial, valid until expires.
    void renew(const QDateTime &expires);
    QByteArray toJson() const;

private:
    QJsonObject m_root;
};

// Replaces path in one step, so a reader sees the old or the new file, never half.
void writeAtomically(const QString &path, const QByteArray &content);
