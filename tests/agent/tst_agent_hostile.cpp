// SPDX-License-Identifier: GPL-3.0-or-later
// What a client that does not play fair tries on the agent: calls sent
// without waiting in any order, a feed that would grow the state file past
// what is read back, large files hashed while others wait, and more objects
// than the agent's memory allows.

#include "AgentFixture.h"
#include "CollectionProxy.h"
#include "ItemProxy.h"
#include "ServiceProxy.h"

#include "bus/ObjectRegistry.h"
#include "service/Contract.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <functional>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

using ItemProxy = ComPalvaneUpdateServiceUpdateItemInterface;
using EventsProxy = ComPalvaneUpdateServiceUpdateItemEventsInterface;
using CollectionProxy = ComPalvaneUpdateServiceUpdateCollectionInterface;
using ServiceProxy = ComPalvaneUpdateServiceServiceInterface;
using AgentProxy = ComPalvaneUpdateServiceAgentInterface;

constexpr int DownloadTimeoutMs = 60000;
// The SHA-256 of no bytes at all.
constexpr char EmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

const QString Service = QString::fromUtf16(Contract::ServiceName);
const QString ServicePath = QString::fromUtf16(Contract::ServicePath);

// Sends make(0) to make(n - 1), at most as many at once as the bus lets one
// connection wait for, and counts the answers; a refusal other than
// `refusal` is kept in *unexpected.
int answered(int n, const std::function<QDBusPendingCall(int)> &make, const QString &refusal,
             QString *unexpected)
{
    constexpr int Window = 64;
    int count = 0;
    QList<QDBusPendingCall> window;
    const auto settle = [&](QDBusPendingCall call) {
        call.waitForFinished();
        if (!call.isError())
            ++count;
        else if (call.error().name() != refusal)
            *unexpected = call.error().name() + u": "_s + call.error().message();
    };
    for (int i = 0; i < n; ++i) {
        window.append(make(i));
        if (window.size() >= Window)
            settle(window.takeFirst());
    }
    for (const QDBusPendingCall &call : std::as_const(window))
        settle(call);
    return count;
}

// The agent's objects as one client connection sees them.
struct Client
{
    explicit Client(const QDBusConnection &connection)
        : bus(connection)
        , agent(Service, ServicePath, bus)
        , service(Service, ServicePath, bus)
    {
    }
    QString getUpdates(const QString &code)
    {
        QDBusPendingReply<QDBusObjectPath> reply = service.GetUpdates(code);
        reply.waitForFinished();
        return reply.isValid() ? reply.value().path() : QString();
    }
    QString item(const QString &collection, int index)
    {
        CollectionProxy proxy(Service, collection, bus);
        QDBusPendingReply<QDBusVariant> reply = proxy.Item(index);
        reply.waitForFinished();
        return reply.isValid() ? reply.value().variant().value<QDBusObjectPath>().path() : QString();
    }
    int count(const QString &collection)
    {
        return CollectionProxy(Service, collection, bus).Count().value();
    }

    QDBusConnection bus;
    AgentProxy agent;
    ServiceProxy service;
};

uint agentPid(const AgentFixture &fixture)
{
    return fixture.bus->connect(u"pid"_s).interface()->servicePid(fixture.agent->uniqueName()).value();
}

int openFiles(uint pid)
{
    return int(QDir(u"/proc/"_s + QString::number(pid) + u"/fd"_s).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

QStringList partFiles(const TestCatalog &catalog)
{
    return QDir(catalog.installDir()).entryList({u".*.part"_s}, QDir::Files | QDir::Hidden);
}

// A file of `size` zero bytes that takes no room: reading it still costs
// the hash its time.
bool makeSparse(const QString &path, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

// The same written out, as a download leaves it in the page cache.
bool makeZeros(const QString &path, qint64 size)
{
    QFile file(path);
    const QByteArray chunk(1024 * 1024, '\0');
    bool ok = file.open(QIODevice::WriteOnly);
    for (qint64 done = 0; ok && done < size; done += chunk.size())
        ok = file.write(chunk) == chunk.size();
    return ok;
}

// An update entry of `size` bytes said to hash to `sha256` (hex).
QJsonObject sizedUpdate(const QString &id, qint64 size, const QByteArray &sha256, const QUrl &url)
{
    QJsonObject update = TestCatalog::update(id, id, {}, url);
    update.insert(u"size"_s, double(size));
    update.insert(u"sha256"_s, QString::fromLatin1(sha256));
    return update;
}

// A read-only file system over a folder while it lives (root only); else
// the folder loses its write permission, which binds every other user.
class ReadOnlyFolder
{
public:
    explicit ReadOnlyFolder(const QString &folder)
        : m_folder(folder)
    {
        QDir().mkpath(folder);
        if (::geteuid() == 0)
            m_mounted = QProcess::execute(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"ro,size=64k"_s,
                                                        u"tmpfs"_s, folder})
                        == 0;
        else
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    }
    ~ReadOnlyFolder()
    {
        if (m_mounted)
            QProcess::execute(u"umount"_s, {u"-l"_s, m_folder});
        QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    bool works() const { return m_mounted || ::geteuid() != 0; }

private:
    QString m_folder;
    bool m_mounted = false;
};

} // namespace

class TestAgentHostile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pipelinedCalls();
    void stateFileOutgrowingTheReadLimit();
    void inPlaceButNotRecordable();
    void leftoverStateCopiesRemovedAtStart();
    void hashingLeavesTheBusFree_data();
    void hashingLeavesTheBusFree();
    void objectCaps_data();
    void objectCaps();
};

void TestAgentHostile::pipelinedCalls()
{
    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"payload.bin"_s, 256 * 1024);
    fixture.catalog.writeProduct({TestCatalog::update(u"u1"_s, u"First"_s, content,
                                                      fixture.catalog.payloadUrl(u"payload.bin"_s))});
    // Slow enough that no download ends within a sequence.
    QVERIFY2(fixture.start({u"--rate-limit"_s, u"128"_s}), qPrintable(fixture.error()));
    Client client(fixture.bus->connect(u"pipeliner"_s));
    const QString path = client.item(client.getUpdates(fixture.code()), 1);
    QVERIFY(!path.isEmpty());
    ItemProxy item(Service, path, client.bus);
    EventsProxy events(Service, path, client.bus);
    QSignalSpy begun(&events, &EventsProxy::OnDownloadBegin);
    QSignalSpy completed(&events, &EventsProxy::OnDownloadComplete);
    const uint pid = agentPid(fixture);
    const int filesBefore = openFiles(pid);

    bool replay = false;
    const quint32 seed = quint32(qEnvironmentVariableIntValue("KELVARRA_PIPELINE_SEED", &replay));
    const quint32 used = replay ? seed : QRandomGenerator::global()->generate();
    qInfo("seed %u (KELVARRA_PIPELINE_SEED=%u replays it)", used, used);
    QRandomGenerator random(used);
    enum Call { Execute, Cancel, Prepare, Text };
    int started = 0;
    for (int sequence = 0; sequence < 200; ++sequence) {
        QList<QPair<Call, QDBusPendingCall>> calls;
        const int length = random.bounded(1, 8);
        for (int i = 0; i <= length; ++i) {
            // The last call cancels whatever the sequence left running.
            const Call call = i == length ? Cancel : Call(random.bounded(4));
            calls.append({call, call == Execute  ? QDBusPendingCall(item.Execute())
                                : call == Cancel ? QDBusPendingCall(item.Cancel())
                                : call == Prepare ? QDBusPendingCall(item.PrepareDownload(-1))
                                                  : QDBusPendingCall(item.GetText(1))});
            // Mostly sent without waiting, sometimes a little apart.
            if (random.bounded(4) == 0)
                QTest::qWait(int(random.bounded(15)));
        }
        for (auto &[call, pending] : calls) {
            pending.waitForFinished();
            if (call == Execute && pending.isError())
                QCOMPARE(pending.error().name(), QString::fromUtf16(Contract::Error::InProgress));
            else
                QVERIFY2(!pending.isError(), qPrintable(pending.error().message()));
            started += call == Execute && !pending.isError();
        }
        // One completion for each download started, and no transfer left.
        QTRY_COMPARE_WITH_TIMEOUT(completed.count(), started, 5000);
        QVERIFY2(partFiles(fixture.catalog).isEmpty(), qPrintable(partFiles(fixture.catalog).join(u' ')));
    }
    QTest::qWait(200); // nothing late may follow
    QCOMPARE(completed.count(), started);
    QVERIFY(begun.count() <= started);
    for (const QList<QVariant> &complete : std::as_const(completed))
        QCOMPARE(complete.at(0).toInt(), int(Contract::DownloadResult::Cancelled));
    QVERIFY2(fixture.agent->isRunning(), qPrintable(fixture.agent->log()));

    // Still an item like any other: it downloads and installs.
    QDBusPendingReply<> download = item.Execute();
    download.waitForFinished();
    QVERIFY2(download.isValid(), qPrintable(download.error().message()));
    QTRY_COMPARE_WITH_TIMEOUT(completed.count(), started + 1, DownloadTimeoutMs);
    QCOMPARE(completed.last().at(0).toInt(), int(Contract::DownloadResult::Success));
    QDBusPendingReply<> install = item.Execute();
    install.waitForFinished();
    QVERIFY2(install.isValid(), qPrintable(install.error().message()));
    QCOMPARE(fileContent(fixture.catalog.installDir() + u"/u1.bin"_s), content);
    QCOMPARE(fixture.catalog.installedFiles(), QStringList{u"u1.bin"_s});
    QTRY_COMPARE_WITH_TIMEOUT(openFiles(pid), filesBefore, 5000);
}

void TestAgentHostile::stateFileOutgrowingTheReadLimit()
{
    AgentFixture fixture;
    // Another product, of another vendor, whose serial mark must survive.
    TestCatalog other(fixture.root() + u"/other"_s);
    const QString otherCode = u"{0D7E2B44-9A1C-4F3B-8E55-7C2A9B1D0E36}"_s;
    other.writeProduct({}, otherCode);
    const QByteArray oldFeed = other.published();
    const QByteArray oldSignature = other.published(u".sig"_s);
    QVERIFY(QFile::copy(other.productsDir() + u"/product.json"_s,
                        fixture.catalog.productsDir() + u"/other.json"_s));

    // Empty updates whose empty files are in place: each costs the feed
    // less than 130 bytes and the state file a record of more than 160, more
    // than a mebibyte in all.
    const int count = 1024 * 1024 / 160 + 1;
    QJsonArray updates;
    for (int i = 0; i < count; ++i) {
        const QString id = u"e"_s + QString::number(i);
        updates.append(QJsonObject{{u"id"_s, id}, {u"name"_s, u"e"_s}, {u"version"_s, u"1"_s},
                                   {u"size"_s, 0}, {u"sha256"_s, QString::fromLatin1(EmptySha256)},
                                   {u"url"_s, id}});
        QVERIFY(writeFile(fixture.catalog.installDir() + u'/' + id, {}));
    }
    fixture.catalog.compactFeeds = true;
    fixture.catalog.writeProduct(updates);
    QVERIFY2(fixture.catalog.published().size() < 1024 * 1024, "the feed is over its own limit");
    const QStringList arguments{u"--feed-max-age"_s, u"0"_s};
    QVERIFY2(fixture.start(arguments), qPrintable(fixture.error()));
    Client client(fixture.bus->connect(u"client"_s));
    QCOMPARE(client.agent.IsConnected(otherCode).value(), Contract::True);
    other.writeProduct({}, otherCode); // serial 2
    QCOMPARE(client.agent.IsConnected(otherCode).value(), Contract::True);

    QCOMPARE(client.count(client.getUpdates(fixture.code())), 0);
    QVERIFY2(QFileInfo(fixture.statePath()).size() > 1024 * 1024,
             qPrintable(QString::number(QFileInfo(fixture.statePath()).size())));

    // A cleaned cache: the state file alone keeps the serial marks.
    QVERIFY(QDir(fixture.root() + u"/cache-home"_s).removeRecursively());
    QVERIFY2(fixture.restartAfterKill(arguments), qPrintable(fixture.error()));
    Client again(fixture.bus->connect(u"again"_s));
    QCOMPARE(again.count(again.getUpdates(fixture.code())), 0);
    other.publish(oldFeed, oldSignature);
    QCOMPARE(again.agent.IsConnected(otherCode).value(), Contract::False);
    QVERIFY2(fixture.agent->log().contains(u"serial: 1 is lower than 2"_s), qPrintable(fixture.agent->log()));
    QVERIFY(!fixture.agent->log().contains(u"moved aside"_s));
    const QJsonObject state = QJsonDocument::fromJson(fileContent(fixture.statePath())).object();
    QCOMPARE(state.value(fixture.code()).toObject().size(), count);
    QCOMPARE(state.value(fixture.code()).toObject().value(u"e1"_s).toObject().value(u"sha256"_s),
             QString::fromLatin1(EmptySha256));

    // A feed without them drops their records, and only theirs.
    fixture.catalog.writeProduct({});
    QCOMPARE(again.agent.IsConnected(fixture.code()).value(), Contract::True);
    const QJsonObject after = QJsonDocument::fromJson(fileContent(fixture.statePath())).object();
    QVERIFY(!after.contains(fixture.code()));
    QCOMPARE(after.value(u"feeds"_s).toObject().value(otherCode).toObject().value(u"serial"_s).toInt(), 2);
    QVERIFY(QFileInfo(fixture.statePath()).size() < 4096);
}

void TestAgentHostile::inPlaceButNotRecordable()
{
    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"payload.bin"_s, 4096);
    fixture.catalog.writeProduct({TestCatalog::update(u"u1"_s, u"First"_s, content,
                                                      fixture.catalog.payloadUrl(u"payload.bin"_s))});
    QVERIFY(writeFile(fixture.catalog.installDir() + u"/u1.bin"_s, content));
    const ReadOnlyFolder stateFolder(QFileInfo(fixture.statePath()).absolutePath());
    if (!stateFolder.works())
        QSKIP("a read-only file system cannot be mounted here");
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));
    Client client(fixture.bus->connect(u"client"_s));
    // Installed, if unrecorded: never offered, however often asked.
    for (int listing = 0; listing < 2; ++listing)
        QCOMPARE(client.count(client.getUpdates(fixture.code())), 0);
    const QString log = fixture.agent->log();
    QVERIFY2(log.contains(u"u1 is in place as "_s) && log.contains(u"without a record; the record failed - "_s),
             qPrintable(log));
    QVERIFY(!log.contains(u"; recorded"_s));
    QVERIFY(!QFile::exists(fixture.statePath()));
}

void TestAgentHostile::leftoverStateCopiesRemovedAtStart()
{
    AgentFixture fixture;
    fixture.catalog.writeProduct({});
    const QString folder = QFileInfo(fixture.statePath()).absolutePath();
    QVERIFY(QDir().mkpath(folder));
    // As a kill between the write and the rename leaves them, and files of
    // the same look that are not the agent's.
    const QStringList leftovers{u".installed.json.Zq81Xa"_s, u".installed.json.000000"_s};
    const QStringList others{u".installed.json.notes"_s, u".installed.json.Zq81Xa.bak"_s,
                             u".other.json.Zq81Xa"_s};
    for (const QString &name : leftovers + others)
        QVERIFY(writeFile(folder + u'/' + name, "{}"));
    QVERIFY(QDir().mkpath(folder + u"/.installed.json.d1r3ct"_s));
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));
    QStringList expected = others + QStringList{u".installed.json.d1r3ct"_s, u"installed.json"_s};
    expected.sort();
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
             expected);
    QCOMPARE(fixture.agent->log().count(u"removed the unfinished copy"_s), leftovers.size());
}

void TestAgentHostile::hashingLeavesTheBusFree_data()
{
    QTest::addColumn<bool>("installing");
    // A same-size file of other content at the update's path is hashed
    // before the listing; the download is hashed again before its rename.
    QTest::newRow("GetUpdates over a file in place") << false;
    QTest::newRow("the installing Execute") << true;
}

void TestAgentHostile::hashingLeavesTheBusFree()
{
    QFETCH(bool, installing);
    constexpr qint64 Size = qint64(1) << 30;
    // 1 GiB of zero bytes.
    constexpr char Zeros[] = "49bc20df15e412a64472421e13fe86ff1c5165e18b2afccf160d4dc19fe68a14";
    AgentFixture fixture;
    const QString payload = fixture.catalog.payloadDir() + u"/large.bin"_s;
    QVERIFY(installing ? makeSparse(payload, Size)
                       : makeZeros(fixture.catalog.installDir() + u"/u1.bin"_s, Size));
    const QByteArray sha256 = installing ? QByteArray(Zeros) : QByteArray(64, 'a');
    fixture.catalog.writeProduct({sizedUpdate(u"u1"_s, Size, sha256, TestCatalog::fileUrl(payload))});
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));
    Client client(fixture.bus->connect(u"client"_s));
    Client prober(fixture.bus->connect(u"prober"_s));

    // What is measured: the other client's round trips, idle for a second
    // (the floor, what the machine's load costs) and while the call waits
    // for its hash.
    struct RoundTrips
    {
        double slowestMs = 0;
        int count = 0;
    };
    const auto probe = [&prober, &fixture](const std::function<bool()> &done) {
        RoundTrips trips;
        while (!done()) {
            QElapsedTimer timer;
            timer.start();
            QDBusPendingReply<short> reply = prober.agent.IsConnected(fixture.code());
            reply.waitForFinished();
            const bool answered = reply.isValid() && reply.value() == Contract::True;
            trips.slowestMs = std::max(trips.slowestMs, answered ? timer.nsecsElapsed() / 1e6 : 1e9);
            ++trips.count;
            QTest::qWait(5);
        }
        return trips;
    };
    QElapsedTimer clock;
    clock.start();
    const RoundTrips idle = probe([&clock] { return clock.hasExpired(1000); });

    std::unique_ptr<ItemProxy> item;
    QDBusPendingCall call = client.service.GetUpdates(fixture.code());
    if (installing) {
        item = std::make_unique<ItemProxy>(Service, client.item(QDBusPendingReply<QDBusObjectPath>(call).value().path(), 1),
                                           client.bus);
        EventsProxy events(Service, item->path(), client.bus);
        QSignalSpy completed(&events, &EventsProxy::OnDownloadComplete);
        QVERIFY(!item->Execute().isError());
        QVERIFY(completed.wait(DownloadTimeoutMs));
        QCOMPARE(completed.first().at(0).toInt(), int(Contract::DownloadResult::Success));
        call = item->Execute();
    }
    clock.restart();
    const RoundTrips busy =
        probe([&call, &clock] { return call.isFinished() || clock.hasExpired(DownloadTimeoutMs); });
    qInfo("the call took %lld ms; %d round trips of the other client meanwhile, the slowest %.1f ms "
          "(idle: %.1f ms)",
          qlonglong(clock.elapsed()), busy.count, busy.slowestMs, idle.slowestMs);
    QVERIFY2(call.isFinished(), "no answer");
    QVERIFY2(!call.isError(), qPrintable(call.error().message()));
    // The hash took long enough to be seen, and never held the bus.
    QVERIFY2(busy.count >= 3, qPrintable(QString::number(busy.count)));
    QVERIFY2(busy.slowestMs < 100 + idle.slowestMs, qPrintable(QString::number(busy.slowestMs)));
    if (installing)
        QCOMPARE(QFileInfo(fixture.catalog.installDir() + u"/u1.bin"_s).size(), Size);
    else
        QCOMPARE(client.count(QDBusPendingReply<QDBusObjectPath>(call).value().path()), 1);
}

void TestAgentHostile::objectCaps_data()
{
    QTest::addColumn<int>("clients");
    QTest::newRow("one connection's share") << 1;
    QTest::newRow("all connections together")
        << ObjectRegistry::MaxObjects / ObjectRegistry::MaxObjectsOfOneOwner;
}

void TestAgentHostile::objectCaps()
{
    QFETCH(int, clients);
    constexpr int Share = ObjectRegistry::MaxObjectsOfOneOwner;
    constexpr int Collections = ObjectRegistry::MaxObjectsPerOwner;
    const int updateCount = Share / Collections; // a collection and its items are more
    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"payload.bin"_s, 64);
    QJsonArray updates;
    for (int i = 0; i < updateCount; ++i)
        updates.append(TestCatalog::update(u"u"_s + QString::number(i), u"U"_s, content,
                                           fixture.catalog.payloadUrl(u"payload.bin"_s)));
    fixture.catalog.writeProduct(updates);
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));

    const QString limit = QString::fromUtf16(Contract::Error::LimitExceeded);
    QString unexpected;
    // Each greedy client takes all it can: collections first, then items.
    std::vector<std::unique_ptr<Client>> greedy;
    for (int c = 0; c < clients; ++c) {
        greedy.push_back(std::make_unique<Client>(fixture.bus->connect(u"greedy"_s)));
        Client &client = *greedy.back();
        QStringList held;
        for (int i = 0; i <= Collections; ++i) {
            const QString collection = client.getUpdates(fixture.code());
            if (!collection.isEmpty())
                held.append(collection);
        }
        QCOMPARE(held.size(), Collections);
        std::vector<std::unique_ptr<CollectionProxy>> proxies;
        for (const QString &collection : std::as_const(held))
            proxies.push_back(std::make_unique<CollectionProxy>(Service, collection, client.bus));
        const int items = answered(
            Collections * updateCount,
            [&](int i) { return proxies.at(i / updateCount)->Item(i % updateCount + 1); }, limit,
            &unexpected);
        QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected));
        QCOMPARE(Collections + items, Share);
    }

    Client late(fixture.bus->connect(u"late"_s));
    QDBusPendingReply<QDBusObjectPath> reply = late.service.GetUpdates(fixture.code());
    reply.waitForFinished();
    if (clients * Share < ObjectRegistry::MaxObjects) {
        // Another client is still served.
        QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
        QVERIFY(!late.item(reply.value().path(), 1).isEmpty());
        return;
    }
    QCOMPARE(reply.error().name(), limit);
    // Room again once one of them leaves.
    const QString leaving = greedy.front()->bus.name();
    greedy.front().reset();
    fixture.bus->disconnect(leaving);
    QTRY_VERIFY_WITH_TIMEOUT(!late.getUpdates(fixture.code()).isEmpty(), 10000);
}

QTEST_GUILESS_MAIN(TestAgentHostile)
#include "tst_agent_hostile.moc"
