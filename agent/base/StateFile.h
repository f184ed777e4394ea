// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// The agent's one state file, $XDG_STATE_HOME/palvane/installed.json: a JSON
// object whose parts belong to the layers that keep them (the feeds' serials
// under "feeds", installed updates under their product's code). Each part is
// changed by reading the whole file, changing that part and saving it.
//
// A file that cannot be parsed is moved aside, never overwritten; the file
// is never written through a symlink, and never larger than it may be read,
// so that nothing the agent wrote is ever moved aside.
class StateFile
{
public:
    static constexpr qint64 MaxBytes = 16 * 1024 * 1024;

    explicit StateFile(const QString &path = defaultPath());

    // The whole object; empty when there is no file. Nothing when a file is
    // in the way that could not be read now (or moved aside).
    std::optional<QJsonObject> load() const;
    // Refused, the old file kept, when the new one would be over MaxBytes.
    bool save(const QJsonObject &root, QString *error) const;
    // Removes the temporary copies a kill between the write and the rename
    // left beside the file; returns how many.
    int removeLeftovers() const;

    QString path() const { return m_path; }
    static QString defaultPath();

private:
    void moveAside(const QString &why) const;
    QByteArray stamp() const;

    QString m_path;
    // The file as last read or written, while it is unchanged on disk.
    mutable QByteArray m_stamp;
    mutable QJsonObject m_cached;
    mutable QString m_lastFault;
};
