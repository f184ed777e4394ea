// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

// A token bucket: how many bytes a download may take now to stay under its
// limit, and under the total one it shares with the others when it has one.
// A limit of 0 means no limit.
class RateLimiter
{
public:
    explicit RateLimiter(qint64 bytesPerSecond, qint64 startMs, RateLimiter *total = nullptr);
    // A total for several downloads, each on a clock of its own: this one
    // keeps its own time.
    explicit RateLimiter(qint64 bytesPerSecond);

    bool limited() const { return m_rate > 0; }
    qint64 allowance(qint64 nowMs);
    void consume(qint64 bytes);
    // How long until a worthwhile read of up to `bytes` may be taken.
    qint64 waitMs(qint64 bytes, qint64 nowMs);

private:
    void refill(qint64 nowMs);

    qint64 m_rate;
    qint64 m_capacity;
    double m_tokens = 0;
    qint64 m_lastMs;
    RateLimiter *m_total = nullptr;
    QElapsedTimer m_clock; // a total's own
};
