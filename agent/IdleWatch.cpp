// SPDX-License-Identifier: GPL-3.0-or-later
#include "IdleWatch.h"

IdleWatch::IdleWatch(int timeoutMs, QObject *parent)
    : QObject(parent)
    , m_timeoutMs(timeoutMs)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &IdleWatch::idle);
    touch();
}

void IdleWatch::setBusy(bool busy)
{
    m_busy = busy;
    touch();
}

void IdleWatch::touch()
{
    if (m_busy || m_timeoutMs <= 0)
        m_timer.stop();
    else
        m_timer.start(m_timeoutMs);
}
