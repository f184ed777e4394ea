// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

// Hands out object paths and frees what a client holds when its connection
// leaves the bus. Paths are never reused within one run, so a late call or
// signal can never reach a newer object by mistake. What a client held is
// freed a few milliseconds' worth at a time, so that others are served meanwhile.
class ObjectRegistry : public QObject
{
    Q_OBJECT

public:
    // Collections only go when their client leaves, so each client's are bounded.
    static constexpr int MaxObjectsPerOwner = 32;
    // Collections and items of all clients together, what bounds the
    // agent's memory, and what one client may take of it, so that a few
    // cannot starve the others.
    static constexpr int MaxObjects = 12288;
    static constexpr int MaxObjectsOfOneOwner = MaxObjects / 4;

    explicit ObjectRegistry(const QDBusConnection &bus, QObject *parent = nullptr);
    ~ObjectRegistry() override;

    // Why `owner` may not have one more object now; empty when it may.
    QString whyFull(const QString &owner) const;
    // Exports an object of `owner` under the service path, as <path>/kind/N.
    // Returns the path, or an empty text if the bus refused it.
    QString publish(QObject *object, const QString &kind, const QString &owner);
    // Exports it and deletes it once `owner` (a unique bus name) is gone.
    QString adopt(QObject *object, const QString &kind, const QString &owner);

    int clientCount() const { return int(m_byOwner.size()); }
    // How many adopted objects `owner` holds.
    int heldBy(const QString &owner) const { return int(m_byOwner.value(owner).size()); }
    int objectCount() const { return int(m_objects.size()); }

Q_SIGNALS:
    void clientCountChanged(int count);

private Q_SLOTS:
    void onNameOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    void release(const QString &owner);
    void freeSome();
    void retire(QObject *object);
    // Unregisters it if it is still exported; no longer counted.
    void forget(QObject *object);

    struct Published
    {
        QString path;
        QString owner;
    };
    QDBusConnection m_bus;
    QHash<QObject *, Published> m_objects;
    QHash<QString, int> m_countByOwner;
    QHash<QString, QList<QPointer<QObject>>> m_byOwner;
    quint64 m_nextId = 1;
    QList<QPointer<QObject>> m_doomed;
    QTimer m_freeTimer;
};
