// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "feeds/ProductUpdate.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Which machines a staged release reaches. Every machine draws a bucket from
// 0 to 9999 per update and version, from its machine id alone, so a vendor
// widening a release keeps the machines that had it, and no server needs to
// know its clients.
class Rollout
{
public:
    static constexpr int Buckets = 10000;

    Rollout() = default;
    explicit Rollout(const QByteArray &machineId)
        : m_machineId(machineId)
    {
    }

    // The id in machineIdFile; when it has none, the one in fallbackFile,
    // made there first with 32 random hexadecimal digits if need be. Without
    // either, one made for this run only (and logged).
    static Rollout load(const QString &machineIdFile, const QString &fallbackFile);
    // The 32 lower-case hexadecimal digits of the file's first line.
    static std::optional<QByteArray> readId(const QString &path);
    static QString defaultFallbackFile();

    QByteArray machineId() const { return m_machineId; }
    int bucket(const QString &code, const ProductUpdate &update) const;
    // Empty when this machine may have the update, else why not.
    QString holdsBack(const QString &code, const ProductUpdate &update) const;

private:
    QByteArray m_machineId;
};
