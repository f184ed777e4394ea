#pragma once

#include <QJsonObject>
#include <QString>

// Which update versions are installed, kept as JSON in
// $XDG_STATE_HOME/palvane/installed.json (default ~/.local/state).
class InstallRecord
{
public:
    explicit InstallRecord(const QString &path = defaultPath());

    bool isInstalled(const QString &code, const QString &updateId, const QString &version) const;
    // Returns false and sets error when the record cannot be written.
    bool record(const QString &code, const QString &updateId, const QString &version,
                const QString &file, QString *error);

    QString path() const { return m_path; }
    static QString defaultPath();

private:
    QJsonObject load() const;

    QString m_path;
};
