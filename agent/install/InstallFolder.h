// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QSet>
#include <optional>

#include <QString>

// The product's install folder: whether a download can go there, and the
// final move of a verified file into it.
class InstallFolder
{
public:
    explicit InstallFolder(const QString &path);

    // Writable (or creatable) and with room for `size` bytes; else sets why.
    bool canReceive(qint64 size, QString *why) const;
    // Atomically replaces folder/fileName with the file at fromPath, which
    // must be on the same file system. Returns the final path, or an empty
    // text and sets error.
    // The folder is synced after the rename.
    QString moveInto(const QString &fromPath, const QString &fileName, QString *error) const;
    // Removes the hidden files of downloads that a killed agent left behind,
    // logging each; returns how many.
    // Partial files whose names are not in `wanted` (when known), or older
    // than 14 days; nothing else.
    int removeStaleDownloads(const std::optional<QSet<QString>> &wanted) const;

private:
    QString nearestExistingFolder() const;

    QString m_path;
};
