// The agent's bus objects on a private bus: the service object, collections
// and items, bad catalogs, freeing on disconnect, idle exit and activation.

#include "AgentFixture.h"
#include "HttpTestServer.h"
#include "ItemEvents.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QTcpServer>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

using Kind = HttpTestServer::Kind;

// A port nothing listens on: taken and given back at once.
quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

class TestAgentBus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void isConnected_data();
    void isConnected();
    void collectionAndItems();
    void unknownProduct();
    void clientLeavingFreesItsObjects();
    void badCatalog_data();
    void badCatalog();
    void exitsWhenIdle();
    void terminatedMidDownloadLeavesNoFile();
    void activatedFromBuildTree();

private:
    HttpTestServer m_server;
};

void TestAgentBus::initTestCase()
{
    QVERIFY(m_server.startListening());
    m_server.setRoute(u"/connected/payload.bin"_s, {Kind::Serve, "x", {}, 0});
}

void TestAgentBus::isConnected_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("askedCode");
    QTest::addColumn<int>("expected");

    const QString code = QString::fromUtf16(TestCatalog::Code);
    QTest::newRow("file source") << u"file"_s << code << -1;
    QTest::newRow("code in other letter case") << u"file"_s << code.toLower() << -1;
    QTest::newRow("unknown code") << u"file"_s << u"{00000000-0000-0000-0000-000000000000}"_s << 0;
    QTest::newRow("malformed code") << u"file"_s << u"nonsense"_s << 0;
    QTest::newRow("missing source folder") << u"missing folder"_s << code << 0;
    QTest::newRow("http server answers") << u"http"_s << code << -1;
    QTest::newRow("http server answers 404") << u"http 404"_s << code << -1;
    QTest::newRow("no http server") << u"no server"_s << code << 0;
    QTest::newRow("no updates") << u"none"_s << code << -1;
}

void TestAgentBus::isConnected()
{
    QFETCH(QString, source);
    QFETCH(QString, askedCode);
    QFETCH(int, expected);

    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"payload.bin"_s, 1000);
    QUrl url = fixture.catalog.payloadUrl(u"payload.bin"_s);
    if (source == u"missing folder"_s)
        url = TestCatalog::fileUrl(fixture.root() + u"/gone/payload.bin"_s);
    else if (source == u"http"_s)
        url = m_server.url(u"/connected/payload.bin"_s);
    else if (source == u"http 404"_s)
        url = m_server.url(u"/connected/missing.bin"_s);
    else if (source == u"no server"_s)
        url = QUrl(u"http://127.0.0.1:"_s + QString::number(closedPort()) + u"/payload.bin"_s);
    QJsonArray updates;
    if (source != u"none"_s)
        updates.append(TestCatalog::update(u"u1"_s, u"First"_s, content, url));
    fixture.catalog.writeProduct(updates);
    QVERIFY2(fixture.start({u"--probe-timeout"_s, u"3"_s}), qPrintable(fixture.error()));
    QCOMPARE(fixture.client->isConnected(askedCode), expected);
}

void TestAgentBus::collectionAndItems()
{
    AgentFixture fixture;
    QJsonArray updates;
    const QStringList names{u"Alpha"_s, u"Beta"_s, u"Gamma"_s};
    for (const QString &name : names) {
        const QByteArray content = fixture.catalog.makePayload(name, 64);
        updates.append(TestCatalog::update(name.toLower(), name, content,
                                           fixture.catalog.payloadUrl(name)));
    }
    fixture.catalog.writeProduct(updates);
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));

    const QString collection = fixture.client->getUpdates(fixture.code());
    QVERIFY(collection.startsWith(u"/com/palvane/UpdateService/"_s));
    QVERIFY(fixture.client->introspect(collection)
                .contains(u"<interface name=\"com.palvane.UpdateService.UpdateCollection\">"_s));
    QCOMPARE(fixture.client->count(collection), 3);
    QStringList seen;
    for (int i = 1; i <= 3; ++i) {
        const QString item = fixture.client->item(collection, i);
        const QString introspection = fixture.client->introspect(item);
        QVERIFY(introspection.contains(u"<interface name=\"com.palvane.UpdateService.UpdateItem\">"_s));
        QVERIFY(introspection.contains(
            u"<interface name=\"com.palvane.UpdateService.UpdateItemEvents\">"_s));
        seen.append(fixture.client->name(item));
        QCOMPARE(fixture.client->text(item), QString());
        QCOMPARE(fixture.client->item(collection, i), item);
    }
    QCOMPARE(seen, names);

    for (int index : {0, -1, 4}) {
        const QDBusMessage reply = fixture.client->call(collection, AgentClient::CollectionInterface,
                                                        u"Item"_s, {index});
        QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
        QCOMPARE(reply.errorName(), u"org.freedesktop.DBus.Error.InvalidArgs"_s);
        QCOMPARE(reply.errorMessage(), u"Item index "_s + QString::number(index)
                                           + u" is out of range: valid indexes are 1 to 3."_s);
    }
    // Every call hands out new paths.
    const QString second = fixture.client->getUpdates(fixture.code());
    QVERIFY(second != collection);
    QVERIFY(fixture.client->item(second, 1) != fixture.client->item(collection, 1));
}

void TestAgentBus::unknownProduct()
{
    AgentFixture fixture;
    fixture.catalog.writeProduct({});
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));
    const QString collection = fixture.client->getUpdates(u"{99999999-0000-0000-0000-000000000000}"_s);
    QVERIFY(!collection.isEmpty());
    QCOMPARE(fixture.client->count(collection), 0);
    const QDBusMessage reply =
        fixture.client->call(collection, AgentClient::CollectionInterface, u"Item"_s, {1});
    QCOMPARE(reply.errorName(), u"org.freedesktop.DBus.Error.InvalidArgs"_s);
    QCOMPARE(reply.errorMessage(), u"Item index 1 is out of range: the collection is empty."_s);
}

void TestAgentBus::clientLeavingFreesItsObjects()
{
    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"payload.bin"_s, 2 * 1024 * 1024);
    const QByteArray other = fixture.catalog.makePayload(u"other.bin"_s, 64);
    fixture.catalog.writeProduct(
        {TestCatalog::update(u"u1"_s, u"First"_s, content, fixture.catalog.payloadUrl(u"payload.bin"_s)),
         TestCatalog::update(u"u2"_s, u"Second"_s, other, fixture.catalog.payloadUrl(u"other.bin"_s))});
    QVERIFY2(fixture.start({u"--rate-limit"_s, u"256"_s}), qPrintable(fixture.error()));

    const QString kept = fixture.client->getUpdates(fixture.code());
    const QString keptItem = fixture.client->item(kept, 2);

    QString collection;
    QString item;
    {
        const QDBusConnection leaving = fixture.bus->connect(u"leaving"_s);
        const AgentClient leaver(leaving);
        collection = leaver.getUpdates(fixture.code());
        item = leaver.item(collection, 1);
        ItemEvents events(leaving, fixture.agent->uniqueName(), item);
        QCOMPARE(leaver.execute(item).type(), QDBusMessage::ReplyMessage);
        QVERIFY(events.waitForBytes(32 * 1024, 10000));
        QCOMPARE(fixture.catalog.installedFiles().size(), 1);
        // The connection closes with its last reference, at the end of this block.
        fixture.bus->disconnect(leaving.name());
    }
    const auto gone = [&](const QString &path) {
        return fixture.client->call(path, AgentClient::CollectionInterface, u"Count"_s).errorName()
               == u"org.freedesktop.DBus.Error.UnknownObject"_s;
    };
    QTRY_VERIFY_WITH_TIMEOUT(gone(collection), 5000);
    QVERIFY(fixture.client->call(item, AgentClient::ItemInterface, u"GetName"_s, {0}).type()
            == QDBusMessage::ErrorMessage);
    QTRY_VERIFY_WITH_TIMEOUT(fixture.catalog.installedFiles().isEmpty(), 5000);
    // The update is free again for the one who stayed.
    QCOMPARE(fixture.client->prepareDownload(fixture.client->item(kept, 1)), -1);
    QCOMPARE(fixture.client->count(kept), 2);
    QCOMPARE(fixture.client->name(keptItem), u"Second"_s);
    QVERIFY(fixture.agent->log().contains(u"left the bus; freeing 1 object(s)"_s));
}

void TestAgentBus::badCatalog_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("logged");

    const QByteArray head = R"({"code": "{11111111-2222-3333-4444-555555555555}", "name": "Bad",
                               "installDir": "bad-install", "updates": [)";
    const QByteArray update = R"({"id": "b1", "name": "B", "version": "1", "size": 1,
        "sha256": "0000000000000000000000000000000000000000000000000000000000000000",
        "url": "file:///tmp/b1.bin")";
    QTest::newRow("malformed JSON") << QByteArray(head + "{") << u"not valid JSON"_s;
    QTest::newRow("not an object") << QByteArray("[1, 2]") << u"the top level must be a JSON object"_s;
    QTest::newRow("missing code") << QByteArray(R"({"name": "Bad", "installDir": "x", "updates": []})")
                                  << u"missing field \"code\""_s;
    QTest::newRow("missing sha256")
        << QByteArray(head + R"({"id": "b1", "name": "B", "version": "1", "size": 1, "url": "b1.bin"}]})")
        << u"updates[0]: missing field \"sha256\""_s;
    QTest::newRow("name leaves the folder")
        << QByteArray(head + update + R"(, "file": "../escape.bin"}]})")
        << u"updates[0]: file name \"../escape.bin\" would leave the install folder"_s;
    QTest::newRow("absolute name") << QByteArray(head + update + R"(, "file": "/etc/escape"}]})")
                                   << u"file name \"/etc/escape\" would leave the install folder"_s;
    QTest::newRow("ftp address")
        << QByteArray(head + R"({"id": "b1", "name": "B", "version": "1", "size": 1,
            "sha256": "0000000000000000000000000000000000000000000000000000000000000000",
            "url": "ftp://example.org/b1.bin"}]})")
        << u"field \"url\" must be a file://, http:// or https:// address"_s;
}

void TestAgentBus::badCatalog()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, logged);

    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"good.bin"_s, 64);
    fixture.catalog.writeProduct(
        {TestCatalog::update(u"g1"_s, u"Good"_s, content, fixture.catalog.payloadUrl(u"good.bin"_s))});
    fixture.catalog.writeRaw(u"bad.json"_s, json);
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));

    const QString badCode = u"{11111111-2222-3333-4444-555555555555}"_s;
    QCOMPARE(fixture.client->isConnected(badCode), 0);
    QCOMPARE(fixture.client->count(fixture.client->getUpdates(badCode)), 0);
    QCOMPARE(fixture.client->count(fixture.client->getUpdates(fixture.code())), 1);
    const QString log = fixture.agent->log();
    const QString line = u"catalog: warning: rejected "_s + fixture.catalog.catalogDir()
                         + u"/bad.json - "_s;
    QVERIFY2(log.contains(line), qPrintable(log));
    QVERIFY2(log.contains(logged), qPrintable(log));
    QVERIFY(fixture.agent->isRunning());
}

void TestAgentBus::exitsWhenIdle()
{
    AgentFixture fixture;
    fixture.catalog.writeProduct({});
    QVERIFY2(fixture.start({u"--idle-timeout"_s, u"1"_s}), qPrintable(fixture.error()));

    // A client holding a collection keeps it alive past the idle time.
    {
        const QDBusConnection holder = fixture.bus->connect(u"holder"_s);
        QVERIFY(!AgentClient(holder).getUpdates(fixture.code()).isEmpty());
        QTest::qWait(1800);
        QVERIFY(fixture.agent->isRunning());
        fixture.bus->disconnect(holder.name());
    }
    QVERIFY(fixture.agent->waitForExit(5000));
    QCOMPARE(fixture.agent->exitCode(), 0);
    QVERIFY(fixture.agent->log().contains(u"no client left; exiting"_s));
}

void TestAgentBus::terminatedMidDownloadLeavesNoFile()
{
    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"payload.bin"_s, 2 * 1024 * 1024);
    fixture.catalog.writeProduct(
        {TestCatalog::update(u"u1"_s, u"First"_s, content, fixture.catalog.payloadUrl(u"payload.bin"_s))});
    QVERIFY2(fixture.start({u"--rate-limit"_s, u"256"_s}), qPrintable(fixture.error()));
    const QString item = fixture.client->item(fixture.client->getUpdates(fixture.code()), 1);
    const auto events = fixture.events(item);
    QCOMPARE(fixture.client->execute(item).type(), QDBusMessage::ReplyMessage);
    QVERIFY(events->waitForBytes(32 * 1024, 10000));
    QCOMPARE(fixture.catalog.installedFiles().size(), 1);

    fixture.agent->stop(); // SIGTERM
    QCOMPARE(fixture.agent->exitCode(), 0);
    QVERIFY2(fixture.catalog.installedFiles().isEmpty(),
             qPrintable(fixture.catalog.installedFiles().join(u", "_s)));
}

void TestAgentBus::activatedFromBuildTree()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TestCatalog catalog(dir.path());
    const QByteArray content = catalog.makePayload(u"payload.bin"_s, 64);
    catalog.writeProduct(
        {TestCatalog::update(u"u1"_s, u"First"_s, content, catalog.payloadUrl(u"payload.bin"_s))});

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"PALVANE_AGENT_ARGS"_s,
                       u"--catalog "_s + catalog.catalogDir() + u" --idle-timeout 2 --state-file "_s
                           + dir.path() + u"/installed.json"_s);
    environment.insert(u"PALVANE_AGENT_LOG"_s, dir.path() + u"/agent.log"_s);
    PrivateBus bus(dir.path(), {QStringLiteral(KELVARRA_AGENT_ACTIVATION_DIR)}, environment);
    QString error;
    QVERIFY2(bus.start(&error), qPrintable(error));
    uint pid = 0;
    {
        const QDBusConnection connection = bus.connect(u"activation"_s);
        const AgentClient client(connection);
        const QString name = QString::fromUtf16(AgentClient::ServiceName);
        QVERIFY(!connection.interface()->isServiceRegistered(name).value());

        QCOMPARE(client.isConnected(QString::fromUtf16(TestCatalog::Code)), -1);
        const QDBusReply<uint> owner = connection.interface()->servicePid(name);
        QVERIFY(owner.isValid());
        pid = owner.value();
        QCOMPARE(client.count(client.getUpdates(QString::fromUtf16(TestCatalog::Code))), 1);
        bus.disconnect(connection.name());
    }
    // It leaves by itself once this client is gone and the idle time passed.
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(u"/proc/"_s + QString::number(pid)), 10000);
}

QTEST_GUILESS_MAIN(TestAgentBus)
#include "tst_agent_bus.moc"
