// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QTimer>

// Emits idle() once nothing has kept the agent busy for the idle time.
class IdleWatch : public QObject
{
    Q_OBJECT

public:
    // A time of 0 or less never ends the agent.
    explicit IdleWatch(int timeoutMs, QObject *parent = nullptr);

    void setBusy(bool busy);
    // Something happened: count the idle time from now.
    void touch();

Q_SIGNALS:
    void idle();

private:
    QTimer m_timer;
    int m_timeoutMs;
    bool m_busy = false;
};
