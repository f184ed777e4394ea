// SPDX-License-Identifier: GPL-3.0-or-later
#include "bus/ObjectRegistry.h"

#include "base/AgentLog.h"
#include "bus/OwnedObject.h"
#include "service/Contract.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QElapsedTimer>

#include <malloc.h>

using namespace Qt::StringLiterals;

namespace {

// Long enough to free dozens of objects, short enough that a waiting call
// is not noticeably delayed.
constexpr qint64 FreeSliceNs = 5'000'000;

} // namespace

ObjectRegistry::ObjectRegistry(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{
    // One subscription for every client: watching each one by name would cost
    // a match rule and a round trip to the bus per client.
    m_bus.connect(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s, u"org.freedesktop.DBus"_s,
                  u"NameOwnerChanged"_s, this,
                  SLOT(onNameOwnerChanged(QString, QString, QString)));
    m_freeTimer.setSingleShot(true);
    m_freeTimer.setInterval(0);
    connect(&m_freeTimer, &QTimer::timeout, this, &ObjectRegistry::freeSome);
}

ObjectRegistry::~ObjectRegistry()
{
    for (const QList<QPointer<QObject>> &objects : std::as_const(m_byOwner))
        for (const QPointer<QObject> &object : objects)
            retire(object);
    for (const QPointer<QObject> &object : std::as_const(m_doomed))
        retire(object);
}

QString ObjectRegistry::whyFull(const QString &owner) const
{
    if (m_objects.size() >= MaxObjects)
        return u"The update service holds "_s % QString::number(MaxObjects)
               % u" objects for its clients already, as many as it may."_s;
    if (m_countByOwner.value(owner) >= MaxObjectsOfOneOwner)
        return u"This client holds "_s % QString::number(MaxObjectsOfOneOwner)
               % u" objects already, as many as one connection may hold."_s;
    return {};
}

QString ObjectRegistry::publish(QObject *object, const QString &kind, const QString &owner)
{
    const QString path = QString::fromUtf16(Contract::ServicePath) % u'/' % kind % u'/'
                         % QString::number(m_nextId++);
    if (!m_bus.registerObject(path, object, QDBusConnection::ExportAdaptors)) {
        qCWarning(lcBus).noquote() << "cannot export" << path << "-" << m_bus.lastError().message();
        return {};
    }
    m_objects.insert(object, {path, owner});
    ++m_countByOwner[owner];
    connect(object, &QObject::destroyed, this, [this](QObject *gone) { forget(gone); });
    return path;
}

void ObjectRegistry::forget(QObject *object)
{
    const auto it = m_objects.find(object);
    if (it == m_objects.end())
        return;
    m_bus.unregisterObject(it->path);
    if (const auto count = m_countByOwner.find(it->owner); count != m_countByOwner.end() && --*count <= 0)
        m_countByOwner.erase(count);
    m_objects.erase(it);
}

QString ObjectRegistry::adopt(QObject *object, const QString &kind, const QString &owner)
{
    const QString path = publish(object, kind, owner);
    if (path.isEmpty()) {
        delete object;
        return {};
    }
    const bool newOwner = !m_byOwner.contains(owner);
    m_byOwner[owner].append(object);
    if (newOwner) {
        // The client may have left before its call was answered; asked
        // without blocking.
        auto *check = new QDBusPendingCallWatcher(
            m_bus.interface()->asyncCall(u"NameHasOwner"_s, owner), this);
        connect(check, &QDBusPendingCallWatcher::finished, this,
                [this, owner](QDBusPendingCallWatcher *call) {
                    call->deleteLater();
                    const QDBusPendingReply<bool> reply = *call;
                    if (reply.isValid() && !reply.value())
                        release(owner);
                });
        Q_EMIT clientCountChanged(clientCount());
    }
    return path;
}

void ObjectRegistry::onNameOwnerChanged(const QString &name, const QString &, const QString &newOwner)
{
    if (newOwner.isEmpty())
        release(name);
}

void ObjectRegistry::release(const QString &owner)
{
    const auto it = m_byOwner.find(owner);
    if (it == m_byOwner.end())
        return;
    const QList<QPointer<QObject>> objects = it.value();
    m_byOwner.erase(it);
    qCInfo(lcBus).noquote() << owner << "left the bus; freeing" << objects.size() << "object(s)";
    // Their children one by one first: a collection may hold many items.
    for (const QPointer<QObject> &object : objects) {
        if (!object)
            continue;
        for (OwnedObject *child : object->findChildren<OwnedObject *>(Qt::FindDirectChildrenOnly))
            m_doomed.append(child);
        m_doomed.append(object);
    }
    m_freeTimer.start();
    Q_EMIT clientCountChanged(clientCount());
}

void ObjectRegistry::freeSome()
{
    QElapsedTimer slice;
    slice.start();
    while (!m_doomed.isEmpty() && slice.nsecsElapsed() < FreeSliceNs)
        retire(m_doomed.takeFirst());
    if (!m_doomed.isEmpty()) {
        m_freeTimer.start();
        return;
    }
#ifdef __GLIBC__
    // A client that held many objects leaves the heap full of free memory
    // that glibc would otherwise keep.
    ::malloc_trim(0);
#endif
}

void ObjectRegistry::retire(QObject *object)
{
    if (!object)
        return;
    for (OwnedObject *child : object->findChildren<OwnedObject *>(Qt::FindDirectChildrenOnly))
        retire(child);
    forget(object);
    // QtDBus looks for a destroyed object through its whole object tree, in
    // its own thread, while this one waits: with thousands of objects that is
    // milliseconds each. Unregistered already, the object need not be looked for.
    QObject::disconnect(object, &QObject::destroyed, nullptr, nullptr);
    delete object;
}
