// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/RateLimiter.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// A quarter second of burst keeps the rate even at the scale of the
// progress reports while leaving room for the read size.
constexpr qint64 BucketMs = 250;
constexpr qint64 MinBucketBytes = 4096;
// Reads of about a twentieth of a second keep the progress smooth.
constexpr qint64 StepMs = 50;

} // namespace

RateLimiter::RateLimiter(qint64 bytesPerSecond, qint64 startMs, RateLimiter *total)
    : m_rate(std::max<qint64>(bytesPerSecond, 0))
    , m_capacity(std::max(m_rate * BucketMs / 1000, MinBucketBytes))
    , m_lastMs(startMs)
    , m_total(total)
{
}

RateLimiter::RateLimiter(qint64 bytesPerSecond)
    : RateLimiter(bytesPerSecond, 0)
{
    m_clock.start();
}

void RateLimiter::refill(qint64 nowMs)
{
    const qint64 elapsed = std::max<qint64>(nowMs - m_lastMs, 0);
    m_lastMs = nowMs;
    m_tokens = std::min(double(m_capacity), m_tokens + double(elapsed) * double(m_rate) / 1000.0);
}

qint64 RateLimiter::allowance(qint64 nowMs)
{
    qint64 own = std::numeric_limits<qint64>::max();
    if (limited()) {
        refill(nowMs);
        own = qint64(m_tokens);
    }
    return m_total ? std::min(own, m_total->allowance(m_total->m_clock.elapsed())) : own;
}

void RateLimiter::consume(qint64 bytes)
{
    if (limited())
        m_tokens -= double(bytes);
    if (m_total)
        m_total->consume(bytes);
}

qint64 RateLimiter::waitMs(qint64 bytes, qint64 nowMs)
{
    const qint64 total = m_total ? m_total->waitMs(bytes, m_total->m_clock.elapsed()) : 0;
    if (!limited())
        return total;
    refill(nowMs);
    const qint64 step = std::max(m_rate * StepMs / 1000, qint64(1));
    const double wanted = double(std::min({bytes, step, m_capacity}));
    if (m_tokens >= wanted)
        return total;
    return std::max({qint64(1), total,
                     qint64(std::ceil((wanted - m_tokens) * 1000.0 / double(m_rate)))});
}
