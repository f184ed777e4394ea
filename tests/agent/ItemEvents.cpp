// SPDX-License-Identifier: GPL-3.0-or-later
#include "ItemEvents.h"

#include "AgentClient.h"

#include <QTest>

using namespace Qt::StringLiterals;

ItemEvents::ItemEvents(const QDBusConnection &bus, const QString &sender, const QString &path)
{
    m_clock.start();
    QDBusConnection connection = bus;
    const QString interface = QString::fromUtf16(Contract::ItemEventsInterface);
    m_subscribed = connection.connect(sender, path, interface, u"OnDownloadBegin"_s, this,
                                      SLOT(onBegin()))
                   && connection.connect(sender, path, interface, u"OnProgressChanged"_s, this,
                                         SLOT(onProgress(int, int, QString, QString)))
                   && connection.connect(sender, path, interface, u"OnDownloadComplete"_s, this,
                                         SLOT(onComplete(int)));
}

void ItemEvents::onBegin()
{
    m_events.append({Event::Begin, 0, 0, {}, {}, -1, m_clock.elapsed()});
}

void ItemEvents::onProgress(int bytes, int percent, const QString &rate, const QString &time)
{
    m_events.append({Event::Progress, bytes, percent, rate, time, -1, m_clock.elapsed()});
}

void ItemEvents::onComplete(int code)
{
    m_events.append({Event::Complete, 0, 0, {}, {}, code, m_clock.elapsed()});
}

QList<ItemEvents::Event> ItemEvents::progress() const
{
    QList<Event> result;
    for (const Event &event : m_events)
        if (event.type == Event::Progress)
            result.append(event);
    return result;
}

bool ItemEvents::completed() const
{
    return completeCode() != -1;
}

int ItemEvents::completeCode() const
{
    for (const Event &event : m_events)
        if (event.type == Event::Complete)
            return event.code;
    return -1;
}

int ItemEvents::maxBytes() const
{
    int bytes = 0;
    for (const Event &event : m_events)
        bytes = std::max(bytes, event.bytes);
    return bytes;
}

bool ItemEvents::waitForComplete(int timeoutMs)
{
    return QTest::qWaitFor([this] { return completed(); }, timeoutMs);
}

bool ItemEvents::waitForBytes(int bytes, int timeoutMs)
{
    return QTest::qWaitFor([this, bytes] { return maxBytes() >= bytes || completed(); }, timeoutMs);
}
