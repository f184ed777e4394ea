// SPDX-License-Identifier: GPL-3.0-or-later
#include "Agent.h"

#include "base/AgentLog.h"
#include "bus/ObjectRegistry.h"
#include "bus/ServiceObject.h"
#include "service/Contract.h"

#include <QDBusConnectionInterface>

using namespace Qt::StringLiterals;

Agent::Agent(const AgentOptions &options, QObject *parent)
    : QObject(parent)
    , m_productFolders(options.productFolders)
    , m_machineIdFile(options.machineIdFile)
    , m_stateFile(options.stateFile)
    , m_feedMarks(&m_stateFile)
    , m_installer(&m_stateFile, &m_hasher)
    , m_feeds({options.feedMaxAgeMs, options.feedTimeoutMs, FeedKeeper::defaultCacheDir()},
              &m_feedMarks, &m_network)
    , m_totalLimit(options.rateLimitTotalBytes)
    , m_idle(options.idleTimeoutMs)
{
    // Before anything reads or writes the state file.
    m_stateFile.removeLeftovers();
    // The records of updates a product's feed no longer lists go with it:
    // a feed cannot make the state grow for ever.
    connect(&m_feeds, &FeedKeeper::accepted, this,
            [this](const QString &code, const QStringList &ids) {
                m_installer.keepOnly(code, ids);
                if (const Product *product = m_products.find(code))
                    m_installer.removeStaleDownloads(*product, m_feeds.updates(*product));
            });
    m_context.products = &m_products;
    m_context.feeds = &m_feeds;
    m_context.installer = &m_installer;
    m_context.hasher = &m_hasher;
    m_context.rollout = &m_rollout;
    m_context.network = &m_network;
    m_context.transfer.rateLimit = options.rateLimitBytes;
    m_context.transfer.totalLimit = &m_totalLimit;
    m_context.transfer.stallTimeoutMs = options.stallTimeoutMs;
    m_context.transfer.retries = options.retries;
    connect(&m_idle, &IdleWatch::idle, this, [this] {
        qCInfo(lcBus) << "no client left; exiting";
        Q_EMIT idle();
    });
}

void Agent::readProducts()
{
    m_products.load(m_productFolders);
    m_rollout = Rollout::load(m_machineIdFile, Rollout::defaultFallbackFile());
    for (const Product *product : m_products.inOrder())
        m_installer.removeStaleDownloads(*product, m_feeds.updates(*product));
}

void Agent::onBusDisconnected()
{
    qCWarning(lcBus) << "the bus connection closed; exiting";
    Q_EMIT busLost();
}

Agent::~Agent()
{
    // Items first: they remove their partial files.
    m_registry.reset();
    if (m_bus.isConnected()) {
        m_bus.unregisterObject(QString::fromUtf16(Contract::ServicePath));
        m_bus.unregisterService(QString::fromUtf16(Contract::ServiceName));
    }
}

bool Agent::start(const QDBusConnection &bus, QString *error)
{
    m_bus = bus;
    m_registry = std::make_unique<ObjectRegistry>(m_bus);
    m_context.registry = m_registry.get();
    m_service = std::make_unique<ServiceObject>(&m_context);
    connect(m_service.get(), &ServiceObject::called, &m_idle, &IdleWatch::touch);
    connect(m_registry.get(), &ObjectRegistry::clientCountChanged, &m_idle,
            [this](int clients) { m_idle.setBusy(clients > 0); });
    m_bus.connect(QString(), u"/org/freedesktop/DBus/Local"_s, u"org.freedesktop.DBus.Local"_s,
                  u"Disconnected"_s, this, SLOT(onBusDisconnected()));

    if (!m_bus.registerObject(QString::fromUtf16(Contract::ServicePath), m_service.get(),
                              QDBusConnection::ExportAdaptors)) {
        *error = u"cannot export the service object: "_s % m_bus.lastError().message();
        return false;
    }
    // Do not queue behind another agent: a second one would only wait.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        m_bus.interface()->registerService(QString::fromUtf16(Contract::ServiceName),
                                           QDBusConnectionInterface::DontQueueService,
                                           QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        *error = u"cannot own "_s % QString::fromUtf16(Contract::ServiceName) % u": "_s
                 % (reply.isValid() ? u"another process owns it"_s : reply.error().message());
        return false;
    }
    qCInfo(lcBus).noquote() << "serving" << QString::fromUtf16(Contract::ServiceName) << "as"
                            << m_bus.baseService();
    return true;
}
