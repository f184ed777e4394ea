// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Turns byte counts into the numbers and texts of OnProgressChanged. The
// rate is an exponential moving average so the texts do not jump about.
class ProgressMeter
{
public:
    explicit ProgressMeter(qint64 total, qint64 startMs);

    void sample(qint64 bytes, qint64 nowMs);
    // Bytes held from before: counted in bytes and percent, not in the rate.
    void hold(qint64 bytes);
    // The last report: whole size, average rate, nothing left.
    void finish(qint64 nowMs);

    int bytesForEvent() const; // clamped to 32 bits
    int percent() const;
    bool rateKnown() const { return m_rateKnown; }
    double rate() const { return m_rate; }
    QString rateText() const;
    QString timeText() const;

    static QString formatRate(double bytesPerSecond);
    static QString formatDuration(qint64 seconds);
    static QString unknownText();

private:
    qint64 m_total;
    qint64 m_startMs;
    qint64 m_bytes = 0;
    qint64 m_held = 0;
    qint64 m_sampleMs;
    qint64 m_sampleBytes = 0;
    double m_rate = 0;
    bool m_rateKnown = false;
    bool m_finished = false;
};
