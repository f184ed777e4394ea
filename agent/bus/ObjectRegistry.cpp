#include "ObjectRegistry.h"

#include "AgentLog.h"

#include <QDBusConnectionInterface>

using namespace Qt::StringLiterals;

ObjectRegistry::ObjectRegistry(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
    , m_watcher(QString(), bus, QDBusServiceWatcher::WatchForUnregistration)
{
    connect(&m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, &ObjectRegistry::release);
}

ObjectRegistry::~ObjectRegistry()
{
    for (const QList<QPointer<QObject>> &objects : std::as_const(m_byOwner))
        for (const QPointer<QObject> &object : objects)
            delete object.data();
}

QString ObjectRegistry::publish(QObject *object, const QString &kind)
{
    const QString path = QString::fromUtf16(BasePath) % u'/' % kind % u'/'
                         % QString::number(m_nextId++);
    if (!m_bus.registerObject(path, object, QDBusConnection::ExportAdaptors)) {
        qCWarning(lcBus).noquote() << "cannot export" << path << "-" << m_bus.lastError().message();
        return {};
    }
    connect(object, &QObject::destroyed, this, [this, path] { m_bus.unregisterObject(path); });
    return path;
}

QString ObjectRegistry::adopt(QObject *object, const QString &kind, const QString &owner)
{
    const QString path = publish(object, kind);
    if (path.isEmpty()) {
        delete object;
        return {};
    }
    const bool newOwner = !m_byOwner.contains(owner);
    m_byOwner[owner].append(object);
    if (newOwner) {
        m_watcher.addWatchedService(owner);
        // The client may have left before the watch was in place.
        if (!m_bus.interface()->isServiceRegistered(owner).value())
            QMetaObject::invokeMethod(this, [this, owner] { release(owner); }, Qt::QueuedConnection);
        Q_EMIT clientCountChanged(clientCount());
    }
    return path;
}

void ObjectRegistry::release(const QString &owner)
{
    const auto it = m_byOwner.find(owner);
    if (it == m_byOwner.end())
        return;
    const QList<QPointer<QObject>> objects = it.value();
    m_byOwner.erase(it);
    m_watcher.removeWatchedService(owner);
    qCInfo(lcBus).noquote() << owner << "left the bus; freeing" << objects.size() << "object(s)";
    for (const QPointer<QObject> &object : objects)
        delete object.data();
    Q_EMIT clientCountChanged(clientCount());
}
