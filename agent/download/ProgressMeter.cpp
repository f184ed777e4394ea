// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/ProgressMeter.h"

#include <QtNumeric>

#include <array>
#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

// Shorter windows make the rate twitch with every TCP burst.
constexpr qint64 SampleWindowMs = 250;
// Time to the first estimate: earlier ones are mostly connection set-up.
constexpr qint64 WarmUpMs = 500;
// Time constant of the moving average.
constexpr double SmoothingMs = 3000.0;

} // namespace

ProgressMeter::ProgressMeter(qint64 total, qint64 startMs)
    : m_total(total)
    , m_startMs(startMs)
    , m_sampleMs(startMs)
{
}

void ProgressMeter::hold(qint64 bytes)
{
    m_bytes = m_sampleBytes = m_held = bytes;
}

void ProgressMeter::sample(qint64 bytes, qint64 nowMs)
{
    m_bytes = bytes;
    const qint64 window = nowMs - m_sampleMs;
    if (window < SampleWindowMs)
        return;
    const double recent = double(bytes - m_sampleBytes) * 1000.0 / double(window);
    m_sampleMs = nowMs;
    m_sampleBytes = bytes;
    if (!m_rateKnown) {
        const qint64 elapsed = nowMs - m_startMs;
        if (elapsed < WarmUpMs || bytes == m_held)
            return;
        m_rate = double(bytes - m_held) * 1000.0 / double(elapsed);
        m_rateKnown = true;
        return;
    }
    const double alpha = 1.0 - std::exp(-double(window) / SmoothingMs);
    m_rate += alpha * (recent - m_rate);
}

void ProgressMeter::finish(qint64 nowMs)
{
    m_bytes = m_total;
    m_finished = true;
    const qint64 elapsed = std::max<qint64>(nowMs - m_startMs, 1);
    m_rate = double(m_total - m_held) * 1000.0 / double(elapsed);
    m_rateKnown = true;
}

int ProgressMeter::bytesForEvent() const
{
    return int(std::min<qint64>(m_bytes, std::numeric_limits<qint32>::max()));
}

int ProgressMeter::percent() const
{
    if (m_total <= 0)
        return m_finished ? 100 : 0;
    return int(std::min<qint64>(m_bytes * 100 / m_total, 100));
}

QString ProgressMeter::rateText() const
{
    return m_rateKnown ? formatRate(m_rate) : unknownText();
}

QString ProgressMeter::timeText() const
{
    if (m_finished)
        return formatDuration(0);
    if (!m_rateKnown)
        return unknownText();
    if (m_rate < 1.0)
        return u"Stalled"_s;
    return formatDuration(qint64(std::ceil(double(m_total - m_bytes) / m_rate)));
}

QString ProgressMeter::unknownText()
{
    return u"Estimating..."_s;
}

QString ProgressMeter::formatRate(double bytesPerSecond)
{
    static const std::array units = {u"B/s"_s, u"KB/s"_s, u"MB/s"_s, u"GB/s"_s, u"TB/s"_s};
    if (!qIsFinite(bytesPerSecond) || bytesPerSecond < 0)
        bytesPerSecond = 0;
    double value = bytesPerSecond;
    size_t unit = 0;
    // Switch at 1000 rather than 1024 so the text never reads "1020 KB/s".
    while (value >= 1000.0 && unit + 1 < units.size()) {
        value /= 1024.0;
        ++unit;
    }
    if (unit == 0)
        return QString::number(qRound(value)) % u' ' % units[unit];
    const int decimals = value < 100.0 ? 1 : 0;
    return QString::number(value, 'f', decimals) % u' ' % units[unit];
}

QString ProgressMeter::formatDuration(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    const qint64 hours = seconds / 3600;
    const qint64 minutes = seconds / 60 % 60;
    const QString secs = QString::number(seconds % 60).rightJustified(2, u'0');
    if (hours == 0)
        return QString::number(minutes) % u':' % secs;
    return QString::number(hours) % u':' % QString::number(minutes).rightJustified(2, u'0') % u':'
           % secs;
}
