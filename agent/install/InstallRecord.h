#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Which update versions are installed, and the feed serials accepted, kept as
// JSON in $XDG_STATE_HOME/palvane/installed.json (default ~/.local/state).
// Updates are under their product's code; serials under "feeds", a key no
// product code can be.
class InstallRecord
{
public:
    explicit InstallRecord(const QString &path = defaultPath());

    bool isInstalled(const QString &code, const QString &updateId, const QString &version) const;
    // Returns false and sets error when the record cannot be written.
    bool record(const QString &code, const QString &updateId, const QString &version,
                const QString &file, QString *error);

    // The highest feed serial accepted for a product and the SHA-256 of that
    // feed's bytes, kept so that no older feed is taken after a restart.
    struct FeedMark
    {
        qint64 serial = 0;
        QByteArray sha256;
    };
    FeedMark feedMark(const QString &code) const;
    bool recordFeedMark(const QString &code, const FeedMark &mark, QString *error);

    QString path() const { return m_path; }
    static QString defaultPath();

private:
    QJsonObject load() const;
    bool save(const QJsonObject &root, QString *error);

    QString m_path;
};
