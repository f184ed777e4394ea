#pragma once

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>

// Hands out object paths and frees what a client holds when its connection
// leaves the bus. Paths are never reused within one run, so a late call or
// signal can never reach a newer object by mistake.
class ObjectRegistry : public QObject
{
    Q_OBJECT

public:
    static constexpr char16_t BasePath[] = u"/com/palvane/UpdateService";

    explicit ObjectRegistry(const QDBusConnection &bus, QObject *parent = nullptr);
    ~ObjectRegistry() override;

    // Exports an object under BasePath/kind/N. Returns the path, or an empty
    // text if the bus refused it.
    QString publish(QObject *object, const QString &kind);
    // Exports it and deletes it once `owner` (a unique bus name) is gone.
    QString adopt(QObject *object, const QString &kind, const QString &owner);

    int clientCount() const { return int(m_byOwner.size()); }

Q_SIGNALS:
    void clientCountChanged(int count);

private:
    void release(const QString &owner);

    QDBusConnection m_bus;
    QDBusServiceWatcher m_watcher;
    QHash<QString, QList<QPointer<QObject>>> m_byOwner;
    quint64 m_nextId = 1;
};
