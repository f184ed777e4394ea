// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QList>
#include <QObject>

// Records the events of one item, from the agent's unique name only.
class ItemEvents : public QObject
{
    Q_OBJECT

public:
    struct Event
    {
        enum Type { Begin, Progress, Complete } type;
        int bytes = 0;
        int percent = 0;
        QString rate;
        QString time;
        int code = -1;
        qint64 atMs = 0;
    };

    ItemEvents(const QDBusConnection &bus, const QString &sender, const QString &path);

    bool isSubscribed() const { return m_subscribed; }
    const QList<Event> &events() const { return m_events; }
    QList<Event> progress() const;
    bool completed() const;
    int completeCode() const;
    int maxBytes() const;
    // Waits, running the event loop, until completion or the timeout.
    bool waitForComplete(int timeoutMs);
    bool waitForBytes(int bytes, int timeoutMs);

public Q_SLOTS:
    void onBegin();
    void onProgress(int bytes, int percent, const QString &rate, const QString &time);
    void onComplete(int code);

private:
    QList<Event> m_events;
    QElapsedTimer m_clock;
    bool m_subscribed = false;
};
