// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

// A token bucket: how many bytes a download may take now to stay under its
// limit. A limit of 0 means no limit.
class RateLimiter
{
public:
    explicit RateLimiter(qint64 bytesPerSecond, qint64 startMs);

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
};
