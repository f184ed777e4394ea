// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "AgentProcess.h"
#include "CollectionProxy.h"
#include "ItemProxy.h"
#include "PrivateBus.h"
#include "ServiceProxy.h"
#include "TestCatalog.h"
#include "service/Contract.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>
#include <optional>

// The clients generated from the contract's XML.
namespace Proxy = com::palvane::UpdateService;

// A proxy on `bus` that calls the agent by its well-known name, as clients do.
template <class P>
P proxy(const QDBusConnection &bus, const QString &path = QString::fromUtf16(Contract::ServicePath))
{
    return P(QString::fromUtf16(Contract::ServiceName), path, bus);
}

// The number a call answered, once it came; -2 for an error reply, so that a
// refusal never passes for False or for an empty collection.
template <typename T>
int answer(QDBusPendingReply<T> reply)
{
    reply.waitForFinished();
    return reply.isValid() ? int(reply.value()) : -2;
}

// The path in the answer of Item(); empty when it was refused.
QString itemPath(const QDBusPendingReply<QDBusVariant> &reply);
QString introspect(const QDBusConnection &bus, const QString &path);
// Waits up to timeoutMs for a first OnDownloadComplete; its result code, -1
// if none came.
Contract::DownloadResult resultCode(QSignalSpy &complete, int timeoutMs);
// The most bytes an OnProgressChanged told of, 0 before the first.
int mostBytes(const QSignalSpy &progress);
// A field of /proc/PID/status in KiB ("VmRSS", "RssAnon"); -1 when unreadable.
qint64 procStatusKiB(uint pid, const QByteArray &field);

// One agent on one private bus over fresh products, feeds and state; everything
// is stopped when it goes out of scope.
class AgentFixture
{
public:
    AgentFixture();

    // Starts the bus and the agent with --products and --state-file set and,
    // unless told not to, asks IsConnected for code() as a client would.
    bool start(const QStringList &arguments = {}, bool askConnected = true);
    // Kills the agent with SIGKILL and starts a new one on the same bus,
    // products and state, as after a crash.
    bool restartAfterKill(const QStringList &arguments = {});
    QString error() const { return m_error; }

    QString root() const { return m_dir.path(); }
    QString statePath() const { return m_dir.path() + QStringLiteral("/state/installed.json"); }
    QString cachedFeedPath() const
    {
        return m_dir.path() + QStringLiteral("/cache-home/palvane/feeds/") + code() + u".json";
    }
    // The agent's standard error.
    QString logPath() const { return m_dir.path() + QStringLiteral("/agent.log"); }
    QString code() const { return QString::fromUtf16(TestCatalog::Code); }
    // The XDG base folders start() gives the agent.
    QString xdgHome(const QString &variable) const;

    // The test's own client connection, opened by the first start(), and
    // proxies on it.
    QDBusConnection connection() const { return *m_connection; }
    Proxy::UpdateCollection collection(const QString &path) const
    {
        return proxy<Proxy::UpdateCollection>(connection(), path);
    }
    Proxy::UpdateItem item(const QString &path) const
    {
        return proxy<Proxy::UpdateItem>(connection(), path);
    }
    // A new GetUpdates(code()); when refused, a collection with no path,
    // whose calls fail.
    Proxy::UpdateCollection updates() const;

    QTemporaryDir m_dir;
    TestCatalog catalog;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<AgentProcess> agent;
    // The service object on connection(), made by the first start().
    std::unique_ptr<Proxy::Agent> agentInterface;
    std::unique_ptr<Proxy::Service> serviceInterface;
    // The agent's environment; start() adds XDG folders of its own.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Without --products: the agent reads its default folders, the XDG ones
    // below root() (XDG_DATA_DIRS: data-dirs/a and data-dirs/b).
    bool defaultProducts = false;

private:
    std::optional<QDBusConnection> m_connection;
    QString m_error;
};
