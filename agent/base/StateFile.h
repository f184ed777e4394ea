// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// The agent's one state file, $XDG_STATE_HOME/palvane/installed.json: a JSON
// object whose parts belong to the layers that keep them (the feeds' serials
// under "feeds", installed updates under their product's code). Each part is
// changed by reading the whole file, changing that part and saving it.
//
// A file that cannot be read or parsed is moved aside, never overwritten; the
// file is never written through a symlink.
class StateFile
{
public:
    explicit StateFile(const QString &path = defaultPath());

    // The whole object; empty when there is no file. Nothing when an
    // unreadable file is still in the way because it could not be moved aside.
    std::optional<QJsonObject> load() const;
    bool save(const QJsonObject &root, QString *error) const;

    QString path() const { return m_path; }
    static QString defaultPath();

private:
    void moveAside(const QString &why) const;

    QString m_path;
};
