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

    explicit ObjectRegistry(const QDBusConnection &bus, QObject *parent = nullptr);
    ~ObjectRegistry() override;

    // Exports an object under the service path, as <path>/kind/N. Returns the
    // path, or an empty text if the bus refused it.
    QString publish(QObject *object, const QString &kind);
    // Exports it and deletes it once `owner` (a unique bus name) is gone.
    QString adopt(QObject *object, const QString &kind, const QString &owner);

    int clientCount() const { return int(m_byOwner.size()); }
    // How many adopted objects `owner` holds.
    int heldBy(const QString &owner) const { return int(m_byOwner.value(owner).size()); }

Q_SIGNALS:
    void clientCountChanged(int count);

private Q_SLOTS:
    void onNameOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    void release(const QString &owner);
    void freeSome();
    void retire(QObject *object);

    QDBusConnection m_bus;
    QHash<QObject *, QString> m_paths;
    QHash<QString, QList<QPointer<QObject>>> m_byOwner;
    quint64 m_nextId = 1;
    QList<QPointer<QObject>> m_doomed;
    QTimer m_freeTimer;
};
