// SPDX-License-Identifier: GPL-3.0-or-later
// The agent's bus objects on a private bus: the service object, collections
// and items, product files and feeds, freeing on disconnect, idle exit and
// activation, and what a hostile peer tries: others' objects, too many objects,
// forged log lines.

#include "AgentFixture.h"
#include "HttpTestServer.h"
#include "service/Contract.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusInterface>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QtEndian>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>
#include <QThread>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

using Kind = HttpTestServer::Kind;
// The contract's booleans as answer() gives them, for int columns.
constexpr int True = Contract::True;
constexpr int False = Contract::False;

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
    void badProductFile_data();
    void badProductFile();
    void feedAcceptance_data();
    void feedAcceptance();
    void feedOverHttp();
    void stalledFeedServer();
    void mirrors_data();
    void mirrors();
    void otherProductsServerHoldsNothingUp_data();
    void otherProductsServerHoldsNothingUp();
    void cachedFeedVerifiedOnLoad_data();
    void cachedFeedVerifiedOnLoad();
    void exitsWhenIdle();
    void terminatedMidDownloadLeavesNoFile();
    void activatedFromBuildTree();
    void strangerIsRefused();
    void collectionCap();
    void logLinesCannotBeForged_data();
    void logLinesCannotBeForged();
    void rollout_data();
    void rollout();
    void commandLineAndLog_data();
    void commandLineAndLog();

private:
    HttpTestServer m_server;
};

void TestAgentBus::initTestCase()
{
    QVERIFY(m_server.startListening());
}

void TestAgentBus::isConnected_data()
{
    QTest::addColumn<QString>("feed");
    QTest::addColumn<QString>("askedCode");
    QTest::addColumn<int>("expected");

    const QString code = QString::fromUtf16(TestCatalog::Code);
    QTest::newRow("file feed") << u"file"_s << code << True;
    QTest::newRow("code in other letter case") << u"file"_s << code.toLower() << True;
    QTest::newRow("unknown code") << u"file"_s << u"{00000000-0000-0000-0000-000000000000}"_s << False;
    QTest::newRow("malformed code") << u"file"_s << u"nonsense"_s << False;
    QTest::newRow("feed file missing") << u"missing"_s << code << False;
    QTest::newRow("http feed") << u"http"_s << code << True;
    QTest::newRow("http 404") << u"http 404"_s << code << False;
    QTest::newRow("no http server") << u"no server"_s << code << False;
    QTest::newRow("redirect to another scheme") << u"to file"_s << code << False;
}

void TestAgentBus::isConnected()
{
    QFETCH(QString, feed);
    QFETCH(QString, askedCode);
    QFETCH(int, expected);

    AgentFixture fixture;
    const QString route = feed == u"http 404"_s ? u"/missing/updates.json"_s
                                                 : u"/connected/updates.json"_s;
    if (feed == u"missing"_s)
        fixture.catalog.feedUrl = TestCatalog::fileUrl(fixture.root() + u"/gone/updates.json"_s);
    else if (feed == u"http"_s || feed == u"http 404"_s)
        fixture.catalog.feedUrl = m_server.url(route);
    else if (feed == u"no server"_s)
        fixture.catalog.feedUrl =
            QUrl(u"http://127.0.0.1:"_s + QString::number(closedPort()) + u"/updates.json"_s);
    else if (feed == u"to file"_s) {
        fixture.catalog.feedUrl = m_server.url(route);
        m_server.setRoute(route, {Kind::Redirect, {}, TestCatalog::fileUrl(fixture.catalog.feedPath()), 0});
    }
    fixture.catalog.writeProduct({});
    if (feed == u"http"_s) {
        m_server.setRoute(route, {Kind::Serve, fixture.catalog.published(), {}, 0});
        m_server.setRoute(route + u".sig"_s, {Kind::Serve, fixture.catalog.published(u".sig"_s), {}, 0});
    }
    QVERIFY2(fixture.start({}, false), qPrintable(fixture.error()));
    QCOMPARE(answer(fixture.agentInterface->IsConnected(askedCode)), expected);
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

    const auto declares = [&](const QString &path, const char16_t *interface) {
        return introspect(fixture.connection(), path)
            .contains(u"<interface name=\""_s + QString::fromUtf16(interface) + u"\">"_s);
    };
    const QString collection = fixture.serviceInterface->GetUpdates(fixture.code()).value().path();
    QVERIFY(collection.startsWith(QString::fromUtf16(Contract::ServicePath) + u'/'));
    QVERIFY(declares(collection, Contract::CollectionInterface));
    Proxy::UpdateCollection items = fixture.collection(collection);
    QCOMPARE(answer(items.Count()), 3);
    QStringList seen;
    for (int i = 1; i <= 3; ++i) {
        const QString path = itemPath(items.Item(i));
        QVERIFY(declares(path, Contract::ItemInterface));
        QVERIFY(declares(path, Contract::ItemEventsInterface));
        Proxy::UpdateItem item = fixture.item(path);
        seen.append(item.GetName(0).value());
        QCOMPARE(item.GetText(1).value(), QString());
        QCOMPARE(itemPath(items.Item(i)), path);
    }
    QCOMPARE(seen, names);

    for (int index : {0, -1, 4}) {
        const QDBusReply<QDBusVariant> reply = items.Item(index);
        QCOMPARE(reply.error().name(), QDBusError::errorString(QDBusError::InvalidArgs));
        QCOMPARE(reply.error().message(), u"Item index "_s + QString::number(index)
                                              + u" is out of range: valid indexes are 1 to 3."_s);
    }
    // Every call hands out new paths.
    Proxy::UpdateCollection second = fixture.updates();
    QVERIFY(second.path() != collection);
    QVERIFY(itemPath(second.Item(1)) != itemPath(items.Item(1)));
}

void TestAgentBus::unknownProduct()
{
    AgentFixture fixture;
    fixture.catalog.writeProduct({});
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));
    Proxy::UpdateCollection items = fixture.collection(
        fixture.serviceInterface->GetUpdates(u"{99999999-0000-0000-0000-000000000000}"_s).value().path());
    QVERIFY(!items.path().isEmpty());
    QCOMPARE(answer(items.Count()), 0);
    const QDBusReply<QDBusVariant> reply = items.Item(1);
    QCOMPARE(reply.error().name(), QDBusError::errorString(QDBusError::InvalidArgs));
    QCOMPARE(reply.error().message(), u"Item index 1 is out of range: the collection is empty."_s);
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

    Proxy::UpdateCollection kept = fixture.updates();
    const QString keptItem = itemPath(kept.Item(2));

    QString collection;
    QString item;
    {
        const QDBusConnection leaving = fixture.bus->connect(u"leaving"_s);
        collection = proxy<Proxy::Service>(leaving).GetUpdates(fixture.code()).value().path();
        item = itemPath(proxy<Proxy::UpdateCollection>(leaving, collection).Item(1));
        Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), item, leaving);
        QSignalSpy progress(&events, &Proxy::UpdateItemEvents::OnProgressChanged);
        QVERIFY(QDBusReply<void>(proxy<Proxy::UpdateItem>(leaving, item).Execute()).isValid());
        QTRY_VERIFY_WITH_TIMEOUT(mostBytes(progress) >= 32 * 1024, 10000);
        QCOMPARE(fixture.catalog.installedFiles().size(), 1);
        // The connection closes with its last reference, at the end of this block.
        fixture.bus->disconnect(leaving.name());
    }
    const auto gone = [&](const QString &path) {
        return QDBusReply<int>(fixture.collection(path).Count()).error().name()
               == QDBusError::errorString(QDBusError::UnknownObject);
    };
    QTRY_VERIFY_WITH_TIMEOUT(gone(collection), 5000);
    QVERIFY(!QDBusReply<QString>(fixture.item(item).GetName(0)).isValid());
    QTRY_VERIFY_WITH_TIMEOUT(fixture.catalog.installedFiles().isEmpty(), 5000);
    // The update is free again for the one who stayed.
    QCOMPARE(answer(fixture.item(itemPath(kept.Item(1))).PrepareDownload(Contract::True)), True);
    QCOMPARE(answer(kept.Count()), 2);
    QCOMPARE(fixture.item(keptItem).GetName(0).value(), u"Second"_s);
    QVERIFY(fixture.agent->log().contains(u"left the bus; freeing 1 object(s)"_s));
}

void TestAgentBus::badProductFile_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("logged");

    const QByteArray head = R"({"code": "{11111111-2222-3333-4444-555555555555}", "name": "Bad",
                               "installDir": "bad-install", )";
    const QByteArray key = R"("keys": ["m3Jl1b1m3pYJ7hVxkYy0lGqZ8Kq9z8y1mC8rJ0m2Xx0="])";
    QTest::newRow("malformed JSON") << QByteArray(head + "{") << u"not valid JSON"_s;
    QTest::newRow("not an object") << QByteArray("[1, 2]") << u"the top level must be a JSON object"_s;
    QTest::newRow("missing code") << QByteArray(R"({"name": "Bad", "installDir": "x", "feed": "f", )" + key + "}")
                                  << u"missing field \"code\""_s;
    QTest::newRow("missing feed") << QByteArray(head + key + "}") << u"missing field \"feed\""_s;
    QTest::newRow("ftp feed") << QByteArray(head + R"("feed": "ftp://example.org/f.json", )" + key + "}")
                              << u"field \"feed\" must be a file://, http:// or https:// address"_s;
    QTest::newRow("file feed on another host")
        << QByteArray(head + R"("feed": "file://otherhost/f.json", )" + key + "}")
        << u"field \"feed\" names another host, \"otherhost\""_s;
    QTest::newRow("no keys") << QByteArray(head + R"("feed": "f.json", "keys": []})")
                             << u"field \"keys\" must be a list of 1 to 8 public keys"_s;
    QTest::newRow("nine keys")
        << QByteArray(head + R"("feed": "f.json", "keys": [)"
                      + QByteArray(R"("m3Jl1b1m3pYJ7hVxkYy0lGqZ8Kq9z8y1mC8rJ0m2Xx0=",)").repeated(8)
                      + R"("m3Jl1b1m3pYJ7hVxkYy0lGqZ8Kq9z8y1mC8rJ0m2Xx0="]})")
        << u"field \"keys\" must be a list of 1 to 8 public keys"_s;
    QTest::newRow("short key") << QByteArray(head + R"("feed": "f.json", "keys": ["AAAA"]})")
                               << u"field \"keys\": keys[0] must be the standard base64"_s;
    QTest::newRow("key without padding")
        << QByteArray(head + R"("feed": "f.json", "keys": ["m3Jl1b1m3pYJ7hVxkYy0lGqZ8Kq9z8y1mC8rJ0m2Xx0"]})")
        << u"field \"keys\": keys[0] must be the standard base64"_s;
    QTest::newRow("a FIFO") << QByteArray("fifo") << u"cannot be read: not a regular file"_s;
    QTest::newRow("over 1 MiB") << QByteArray(1024 * 1024 + 1, ' ') << u"cannot be read: larger than 1048576 bytes"_s;
}

void TestAgentBus::badProductFile()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, logged);

    AgentFixture fixture;
    fixture.catalog.writeProduct({});
    const QString bad = fixture.catalog.productsDir() + u"/bad.json"_s;
    if (json == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(bad).constData(), 0600), 0);
    else
        fixture.catalog.writeRaw(u"bad.json"_s, json);
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));

    const QString badCode = u"{11111111-2222-3333-4444-555555555555}"_s;
    QCOMPARE(answer(fixture.agentInterface->IsConnected(badCode)), False);
    QCOMPARE(answer(fixture.agentInterface->IsConnected(fixture.code())), True);
    const QString log = fixture.agent->log();
    const QString line = u"warning: rejected "_s + bad + u" - "_s + logged;
    QCOMPARE(log.count(u"rejected "_s + bad), 1);
    QVERIFY2(log.contains(line), qPrintable(log));
}

void TestAgentBus::feedAcceptance_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("connected");
    QTest::addColumn<int>("offered");
    QTest::addColumn<QString>("logged");

    QTest::newRow("a newer feed") << u"good"_s << True << 2 << QString();
    QTest::newRow("signed by openssl pkeyutl") << u"openssl"_s << True << 2 << QString();
    QTest::newRow("the same feed again") << u"same"_s << True << 1 << QString();
    QTest::newRow("a changed byte") << u"changed byte"_s << False << 1 << u"signature: it does not verify"_s;
    QTest::newRow("another key") << u"other key"_s << False << 1 << u"signature: it does not verify"_s;
    QTest::newRow("signature not base64") << u"bad signature"_s << False << 1
                                          << u"signature: the signature must be the standard base64"_s;
    QTest::newRow("no signature") << u"no signature"_s << False << 1 << u"updates.json.sig"_s;
    QTest::newRow("oversize feed") << u"oversize"_s << False << 1 << u"size: the feed is larger"_s;
    QTest::newRow("not a feed") << u"not json"_s << False << 1 << u"content: not valid JSON"_s;
    QTest::newRow("another product's feed") << u"other product"_s << False << 1 << u"product: the feed is for"_s;
    QTest::newRow("expired") << u"expired"_s << False << 1 << u"expiry: the feed expired"_s;
    QTest::newRow("a lower serial") << u"lower serial"_s << False << 1 << u"serial: 3 is lower than 5"_s;
    QTest::newRow("equal serial, other bytes") << u"equal serial"_s << False << 1
                                               << u"serial: 5 was accepted before with other content"_s;
}

// A product's feed serial 5 with one update is accepted; then the feed is
// replaced by one with two updates, changed as the row says.
void TestAgentBus::feedAcceptance()
{
    QFETCH(QString, change);
    QFETCH(int, connected);
    QFETCH(int, offered);
    QFETCH(QString, logged);

    AgentFixture fixture;
    TestCatalog &catalog = fixture.catalog;
    const QJsonArray one{TestCatalog::update(u"u1"_s, u"First"_s, "1", catalog.payloadUrl(u"a"_s))};
    const QJsonArray two{one.first(),
                         TestCatalog::update(u"u2"_s, u"Second"_s, "2", catalog.payloadUrl(u"b"_s))};
    catalog.serial = 4;
    catalog.writeProduct(one);
    QVERIFY2(fixture.start({u"--feed-max-age"_s, u"0"_s}, false), qPrintable(fixture.error()));
    QCOMPARE(answer(fixture.agentInterface->IsConnected(fixture.code())), True);

    if (change == u"lower serial"_s)
        catalog.serial = 2;
    else if (change == u"equal serial"_s)
        catalog.serial = 4;
    QJsonObject feed = catalog.feed(two, change == u"other product"_s
                                             ? u"{11111111-2222-3333-4444-555555555555}"_s
                                             : fixture.code());
    if (change == u"expired"_s)
        feed.insert(u"expires"_s, u"2020-01-01T00:00:00Z"_s);
    QByteArray bytes = QJsonDocument(feed).toJson();
    if (change == u"oversize"_s)
        bytes.append(QByteArray(1024 * 1024, ' '));
    else if (change == u"not json"_s)
        bytes.chop(2);
    else if (change == u"same"_s)
        bytes = catalog.published();
    QByteArray signature = catalog.sign(bytes);
    if (change == u"changed byte"_s)
        bytes[bytes.indexOf("Second")] = 's';
    else if (change == u"other key"_s)
        signature = TestCatalog(fixture.root() + u"/other"_s).sign(bytes);
    else if (change == u"bad signature"_s)
        signature = "not base64!\n";
    else if (change == u"no signature"_s)
        signature.clear();
    else if (change == u"openssl"_s) {
        const QString key = fixture.root() + u"/key.pem"_s;
        QFile pem(key);
        QVERIFY(pem.open(QIODevice::WriteOnly));
        pem.write(catalog.privateKeyPem());
        pem.close();
        catalog.publish(bytes, {});
        QProcess openssl;
        openssl.start(u"sh"_s, {u"-c"_s, u"openssl pkeyutl -sign -rawin -inkey \"$0\" -in \"$1\" | base64 -w0"_s,
                                key, catalog.feedPath()});
        QVERIFY(openssl.waitForFinished(10000));
        signature = openssl.readAllStandardOutput();
        QCOMPARE(signature.size(), 88);
    }
    catalog.publish(bytes, signature);

    QCOMPARE(answer(fixture.agentInterface->IsConnected(fixture.code())), connected);
    // A refused feed leaves the one accepted before in use.
    QCOMPARE(answer(fixture.updates().Count()), offered);
    const QString log = fixture.agent->log();
    if (!logged.isEmpty())
        QVERIFY2(log.contains(u"Test Product from "_s + catalog.feedUrl.toDisplayString()) && log.contains(logged),
                 qPrintable(log));
    else
        QVERIFY2(!log.contains(u"warning"_s), qPrintable(log));
}

void TestAgentBus::feedOverHttp()
{
    AgentFixture fixture;
    TestCatalog &catalog = fixture.catalog;
    const QByteArray content = catalog.makePayload(u"payload.bin"_s, 1000);
    m_server.setRoute(u"/shop/payloads/payload.bin"_s, {Kind::Serve, content, {}, 0});
    catalog.feedUrl = m_server.url(u"/shop/updates.json"_s);
    // The payload's address is relative: it is taken from the feed's.
    catalog.writeProduct({TestCatalog::update(u"u1"_s, u"First"_s, content,
                                              QUrl(u"payloads/payload.bin"_s))});
    m_server.setRoute(u"/shop/updates.json"_s, {Kind::Serve, catalog.published(), {}, 0});
    m_server.setEtag(u"/shop/updates.json"_s, "\"v1\"");
    m_server.setRoute(u"/shop/updates.json.sig"_s, {Kind::Serve, catalog.published(u".sig"_s), {}, 0});
    QVERIFY2(fixture.start({u"--feed-max-age"_s, u"0"_s}, false), qPrintable(fixture.error()));

    // Callers at once share one fetch.
    QList<QDBusPendingReply<short>> calls;
    for (int i = 0; i < 4; ++i)
        calls.append(fixture.agentInterface->IsConnected(fixture.code()));
    // The server answers only from this thread's event loop: until it
    // runs, the agent has all four calls and its one fetch waiting.
    QThread::msleep(300);
    for (const QDBusPendingReply<short> &call : std::as_const(calls))
        QCOMPARE(answer(call), True);
    QCOMPARE(m_server.hits(u"/shop/updates.json"_s), 1);
    QCOMPARE(m_server.hits(u"/shop/updates.json.sig"_s), 1);

    // A 304 keeps the feed without fetching the signature again.
    QCOMPARE(answer(fixture.agentInterface->IsConnected(fixture.code())), True);
    QCOMPARE(m_server.hits(u"/shop/updates.json"_s), 2);
    QCOMPARE(m_server.hits(u"/shop/updates.json.sig"_s), 1);
    QVERIFY(fixture.agent->log().contains(u"not modified"_s));

    const QString item = itemPath(fixture.updates().Item(1));
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), item, fixture.connection());
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QVERIFY(QDBusReply<void>(fixture.item(item).Execute()).isValid());
    QCOMPARE(resultCode(complete, 10000), Contract::DownloadResult::Success);
    QCOMPARE(m_server.hits(u"/shop/payloads/payload.bin"_s), 1);
}

void TestAgentBus::stalledFeedServer()
{
    AgentFixture fixture;
    fixture.catalog.feedUrl = m_server.url(u"/stalled/updates.json"_s);
    fixture.catalog.writeProduct({});
    m_server.setRoute(u"/stalled/updates.json"_s, {Kind::Stall, fixture.catalog.published(), {}, 10});
    QVERIFY2(fixture.start({u"--feed-timeout"_s, u"1"_s}, false), qPrintable(fixture.error()));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(answer(fixture.agentInterface->IsConnected(fixture.code())), False);
    // Well inside the client's 25 s call timeout, and about the time given.
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(fixture.agent->log().contains(u"within 1 s"_s));
}

void TestAgentBus::otherProductsServerHoldsNothingUp_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("silent server") << int(Kind::Silent);
    QTest::newRow("5 MB of headers") << int(Kind::HugeHeaders);
}

// Product B answers as fast while product A's feed server misbehaves.
void TestAgentBus::otherProductsServerHoldsNothingUp()
{
    QFETCH(int, kind);
    AgentFixture fixture;
    const QString codeA = u"{0A0A0A0A-0000-4000-8000-00000000000A}"_s;
    const QString route = u"/other/"_s + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
    m_server.setRoute(route, {Kind(kind), {}, {}, 0});
    fixture.catalog.feedUrl = m_server.url(route);
    fixture.catalog.writeProduct({}, codeA, u"a.json"_s);
    fixture.catalog.feedUrl = TestCatalog::fileUrl(fixture.catalog.feedPath());
    fixture.catalog.writeProduct({});
    QVERIFY2(fixture.start({u"--feed-max-age"_s, u"0"_s, u"--feed-timeout"_s, u"3"_s}, false),
             qPrintable(fixture.error()));
    const auto roundTripMs = [&] {
        QElapsedTimer clock;
        clock.start();
        const bool connected = answer(fixture.agentInterface->IsConnected(fixture.code())) == True;
        return connected ? clock.elapsed() : 1000000;
    };
    const qint64 alone = roundTripMs();
    QDBusPendingCall productA = fixture.agentInterface->IsConnected(codeA);
    QTRY_VERIFY(m_server.hits(route) > 0);
    qint64 slowest = 0;
    for (int i = 0; i < 5; ++i)
        slowest = std::max(slowest, roundTripMs());
    QVERIFY2(slowest < alone + 100, qPrintable(QString::number(slowest)));
    productA.waitForFinished();
    QCOMPARE(answer(QDBusPendingReply<short>(productA)), False);
}

void TestAgentBus::mirrors_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<int>("connected");
    QTest::addColumn<QString>("logged");

    QTest::newRow("first mirror down") << u"down"_s << True << u"not fetched"_s;
    QTest::newRow("first mirror stalls") << u"stall"_s << True << u"within 1 s"_s;
    QTest::newRow("first mirror badly signed") << u"bad signature"_s << True << u"signature: it does not verify"_s;
    QTest::newRow("first mirror replays an older feed") << u"replay"_s << True << u"serial: 1 is lower than 2"_s;
    QTest::newRow("all mirrors down") << u"all down"_s << False << u"not fetched"_s;
    QTest::newRow("payload missing on the first mirror") << u"no payload"_s << True
                                                          << u"trying the next feed address"_s;
    QTest::newRow("payload damaged on the first mirror") << u"damaged payload"_s << True
                                                          << u"(checksum mismatch). - trying the next"_s;
}

// The same feed on two servers: the first address as the row says, the
// second one good (unless all are down). The payload's relative address is
// taken from the one that served the feed, then from the next.
void TestAgentBus::mirrors()
{
    QFETCH(QString, first);
    QFETCH(int, connected);
    QFETCH(QString, logged);

    AgentFixture fixture;
    TestCatalog &catalog = fixture.catalog;
    const QString base = u"/mirrors/"_s + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
    const QUrl dead(u"http://127.0.0.1:"_s + QString::number(closedPort()) + u"/updates.json"_s);
    const QUrl one = first == u"down"_s || first == u"all down"_s ? dead : m_server.url(base + u"/a/updates.json"_s);
    const QUrl two = first == u"all down"_s ? dead : m_server.url(base + u"/b/updates.json"_s);
    catalog.writeProduct({TestCatalog::update(u"u1"_s, u"First"_s, "1", catalog.payloadUrl(u"a"_s))});
    const QByteArray old = catalog.published();
    catalog.feedUrl = one;
    catalog.mirrors = {two};
    const QByteArray content = catalog.makePayload(u"p.bin"_s, 1000);
    catalog.writeProduct({TestCatalog::update(u"u1"_s, u"First"_s, content, QUrl(u"payloads/p.bin"_s))});
    QByteArray damaged = content;
    damaged[500] = char(~damaged[500]);
    m_server.setRoute(base + u"/a/payloads/p.bin"_s, {first == u"damaged payload"_s ? Kind::Serve : Kind::NotFound,
                                                      damaged, {}, 0});
    m_server.setRoute(base + u"/b/payloads/p.bin"_s, {Kind::Serve, content, {}, 0});
    const QByteArray bytes = catalog.published();
    const QByteArray signature = catalog.published(u".sig"_s);
    const QString a = base + u"/a/updates.json"_s;
    if (first == u"stall"_s)
        m_server.setRoute(a, {Kind::Stall, bytes, {}, 10});
    else if (first == u"replay"_s)
        m_server.setRoute(a, {Kind::Serve, old, {}, 0});
    else
        m_server.setRoute(a, {Kind::Serve, bytes, {}, 0});
    // A signature of other bytes does not verify.
    const bool oldSignature = first == u"replay"_s || first == u"bad signature"_s;
    m_server.setRoute(a + u".sig"_s, {Kind::Serve, oldSignature ? catalog.sign(old) : signature, {}, 0});
    m_server.setRoute(base + u"/b/updates.json"_s, {Kind::Serve, bytes, {}, 0});
    m_server.setRoute(base + u"/b/updates.json.sig"_s, {Kind::Serve, signature, {}, 0});
    if (first == u"replay"_s) {
        // A machine that took serial 2 before.
        QDir().mkpath(QFileInfo(fixture.statePath()).path());
        QFile state(fixture.statePath());
        QVERIFY(state.open(QIODevice::WriteOnly));
        state.write(QJsonDocument(QJsonObject{{u"feeds"_s, QJsonObject{{fixture.code(), QJsonObject{
            {u"serial"_s, 2}, {u"sha256"_s, QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())}}}}}}).toJson());
    }
    QVERIFY2(fixture.start({u"--feed-timeout"_s, u"2"_s}, false), qPrintable(fixture.error()));

    QCOMPARE(answer(fixture.agentInterface->IsConnected(fixture.code())), connected);
    QDBusInterface status(fixture.agent->uniqueName(), QString::fromUtf16(Contract::ServicePath),
                          QString::fromUtf16(Contract::StatusInterface), fixture.connection());
    const QVariantMap report = QDBusReply<QVariantMap>(status.call(u"GetProductStatus"_s, fixture.code())).value();
    QCOMPARE(report.value(u"feeds"_s).toStringList(), QStringList({one.toString(), two.toString()}));
    const QUrl from = connected == False ? QUrl() : first.endsWith(u"payload"_s) ? one : two;
    QCOMPARE(report.value(u"acceptedFrom"_s).toString(), from.toString());
    if (connected == False) {
        QCOMPARE(report.value(u"problem"_s).toString().count(dead.toString()), 2);
        QVERIFY(fixture.agent->log().contains(logged));
        return;
    }
    const QString item = itemPath(fixture.updates().Item(1));
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), item, fixture.connection());
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QVERIFY(QDBusReply<void>(fixture.item(item).Execute()).isValid());
    QCOMPARE(resultCode(complete, 10000), Contract::DownloadResult::Success);
    QCOMPARE(m_server.hits(base + u"/a/payloads/p.bin"_s), from == one ? 1 : 0);
    QCOMPARE(m_server.hits(base + u"/b/payloads/p.bin"_s), 1);
    const QString log = fixture.agent->log();
    QVERIFY2(log.contains(logged), qPrintable(log));
    QVERIFY2(log.contains(u"accepted the feed of Test Product from "_s + from.toString()), qPrintable(log));
}

void TestAgentBus::cachedFeedVerifiedOnLoad_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("offered");
    QTest::addColumn<int>("connected");

    QTest::newRow("cache intact") << u"none"_s << 1 << True;
    QTest::newRow("a byte changed in the cache") << u"changed byte"_s << 0 << True;
    QTest::newRow("cache lost, an older feed served") << u"older feed"_s << 0 << False;
}

// After a restart, the cached feed serves GetUpdates until the next fetch,
// but only if it passes every check again; the serial outlives the cache.
void TestAgentBus::cachedFeedVerifiedOnLoad()
{
    QFETCH(QString, change);
    QFETCH(int, offered);
    QFETCH(int, connected);

    AgentFixture fixture;
    TestCatalog &catalog = fixture.catalog;
    const QJsonArray one{TestCatalog::update(u"u1"_s, u"First"_s, "1", catalog.payloadUrl(u"a"_s))};
    catalog.serial = 1;
    catalog.writeProduct(one);
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));
    QCOMPARE(answer(fixture.updates().Count()), 1);
    QFile cached(fixture.cachedFeedPath());
    QVERIFY(cached.exists());

    if (change == u"changed byte"_s) {
        QVERIFY(cached.open(QIODevice::ReadWrite));
        QByteArray bytes = cached.readAll();
        bytes[bytes.indexOf("First")] = 'f';
        cached.seek(0);
        cached.write(bytes);
        cached.close();
    } else if (change == u"older feed"_s) {
        QVERIFY(cached.remove());
        catalog.serial = 0;
        catalog.writeProduct(one);
    }
    QVERIFY2(fixture.start({}, false), qPrintable(fixture.error()));
    QCOMPARE(answer(fixture.updates().Count()), offered);
    QCOMPARE(answer(fixture.agentInterface->IsConnected(fixture.code())), connected);
    if (change == u"changed byte"_s)
        QVERIFY(fixture.agent->log().contains(u"refused the feed of Test Product from cached"_s));
}

void TestAgentBus::exitsWhenIdle()
{
    AgentFixture fixture;
    fixture.catalog.writeProduct({});
    QVERIFY2(fixture.start({u"--idle-timeout"_s, u"1"_s}), qPrintable(fixture.error()));

    // A client holding a collection keeps it alive past the idle time.
    {
        const QDBusConnection holder = fixture.bus->connect(u"holder"_s);
        QVERIFY(!proxy<Proxy::Service>(holder).GetUpdates(fixture.code()).value().path().isEmpty());
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
    const QString item = itemPath(fixture.updates().Item(1));
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), item, fixture.connection());
    QSignalSpy progress(&events, &Proxy::UpdateItemEvents::OnProgressChanged);
    QVERIFY(QDBusReply<void>(fixture.item(item).Execute()).isValid());
    QTRY_VERIFY_WITH_TIMEOUT(mostBytes(progress) >= 32 * 1024, 10000);
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
                       u"--products "_s + catalog.productsDir() + u" --idle-timeout 2 --state-file "_s
                           + dir.path() + u"/installed.json"_s);
    environment.insert(u"PALVANE_AGENT_LOG"_s, dir.path() + u"/agent.log"_s);
    PrivateBus bus(dir.path(), {QStringLiteral(KELVARRA_AGENT_ACTIVATION_DIR)}, environment);
    QString error;
    QVERIFY2(bus.start(&error), qPrintable(error));
    uint pid = 0;
    {
        const QDBusConnection connection = bus.connect(u"activation"_s);
        const QString name = QString::fromUtf16(Contract::ServiceName);
        const QString code = QString::fromUtf16(TestCatalog::Code);
        QVERIFY(!connection.interface()->isServiceRegistered(name).value());

        QCOMPARE(answer(proxy<Proxy::Agent>(connection).IsConnected(code)), True);
        const QDBusReply<uint> owner = connection.interface()->servicePid(name);
        QVERIFY(owner.isValid());
        pid = owner.value();
        const QString collection = proxy<Proxy::Service>(connection).GetUpdates(code).value().path();
        QCOMPARE(answer(proxy<Proxy::UpdateCollection>(connection, collection).Count()), 1);
        bus.disconnect(connection.name());
    }
    // It leaves by itself once this client is gone and the idle time passed.
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(u"/proc/"_s + QString::number(pid)), 10000);
}

void TestAgentBus::strangerIsRefused()
{
    AgentFixture fixture;
    const QByteArray small = fixture.catalog.makePayload(u"small.bin"_s, 64);
    const QByteArray big = fixture.catalog.makePayload(u"big.bin"_s, 2 * 1024 * 1024);
    fixture.catalog.writeProduct(
        {TestCatalog::update(u"done"_s, u"Done"_s, small, fixture.catalog.payloadUrl(u"small.bin"_s)),
         TestCatalog::update(u"running"_s, u"Running"_s, big, fixture.catalog.payloadUrl(u"big.bin"_s))});
    QVERIFY2(fixture.start({u"--rate-limit"_s, u"256"_s}), qPrintable(fixture.error()));
    Proxy::UpdateCollection collection = fixture.updates();
    const QString done = itemPath(collection.Item(1));
    const QString running = itemPath(collection.Item(2));
    Proxy::UpdateItemEvents doneEvents(fixture.agent->uniqueName(), done, fixture.connection());
    Proxy::UpdateItemEvents runningEvents(fixture.agent->uniqueName(), running, fixture.connection());
    QSignalSpy doneComplete(&doneEvents, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QSignalSpy runningProgress(&runningEvents, &Proxy::UpdateItemEvents::OnProgressChanged);
    QSignalSpy runningComplete(&runningEvents, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QVERIFY(QDBusReply<void>(fixture.item(done).Execute()).isValid());
    QCOMPARE(resultCode(doneComplete, 10000), Contract::DownloadResult::Success);
    QVERIFY(QDBusReply<void>(fixture.item(running).Execute()).isValid());
    QTRY_VERIFY_WITH_TIMEOUT(mostBytes(runningProgress) >= 1, 10000);

    const QDBusConnection strangerBus = fixture.bus->connect(u"stranger"_s);
    auto strangerCollection = proxy<Proxy::UpdateCollection>(strangerBus, collection.path());
    QList<std::pair<QString, QDBusPendingCall>> attempts{
        {u"Count"_s, strangerCollection.Count()}, {u"Item"_s, strangerCollection.Item(2)}};
    for (const QString &path : {done, running}) {
        auto item = proxy<Proxy::UpdateItem>(strangerBus, path);
        const QString on = u" on "_s + path;
        attempts.append({{u"GetName"_s + on, item.GetName(0)},
                         {u"GetText"_s + on, item.GetText(1)},
                         {u"PrepareDownload"_s + on, item.PrepareDownload(Contract::True)},
                         {u"Execute"_s + on, item.Execute()},
                         {u"Cancel"_s + on, item.Cancel()}});
    }
    for (auto &[what, call] : attempts) {
        call.waitForFinished();
        QVERIFY2(call.error().type() == QDBusError::AccessDenied,
                 qPrintable(what + u": "_s + call.error().name()));
    }
    // The client reads this before using an object; it tells nothing away.
    QVERIFY(introspect(strangerBus, done).contains(QString::fromUtf16(Contract::ItemInterface)));

    // The owner's download went on, nothing was installed, and the owner still decides.
    const int bytes = mostBytes(runningProgress);
    QTRY_VERIFY_WITH_TIMEOUT(mostBytes(runningProgress) > bytes, 10000);
    QVERIFY(runningComplete.isEmpty());
    QVERIFY(!QFile::exists(fixture.catalog.installDir() + u"/done.bin"_s));
    QFile state(fixture.statePath());
    QVERIFY(!state.open(QIODevice::ReadOnly) || !state.readAll().contains("\"done\""));
    QVERIFY(QDBusReply<void>(fixture.item(done).Execute()).isValid());
    QVERIFY(QFile::exists(fixture.catalog.installDir() + u"/done.bin"_s));
    QCOMPARE(fixture.agent->log().count(u"palvane.agent.bus: warning: refused "_s),
             attempts.size());
    fixture.bus->disconnect(strangerBus.name());
}

void TestAgentBus::collectionCap()
{
    AgentFixture fixture;
    fixture.catalog.writeProduct({});
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));
    for (int i = 0; i < 32; ++i)
        QVERIFY(!fixture.serviceInterface->GetUpdates(fixture.code()).value().path().isEmpty());
    const QDBusReply<QDBusObjectPath> refused = fixture.serviceInterface->GetUpdates(fixture.code());
    QCOMPARE(refused.error().name(), QString::fromUtf16(Contract::Error::LimitExceeded));
    const auto held = [&] {
        return introspect(fixture.connection(), QString::fromUtf16(Contract::ServicePath) + u"/collection"_s)
            .count(u"<node name="_s);
    };
    QCOMPARE(held(), 32);
    QVERIFY(fixture.agent->log().contains(u"refused GetUpdates from "_s));

    // The cap is per connection, and a leaving one gives back what it held.
    {
        const QDBusConnection other = fixture.bus->connect(u"other"_s);
        QVERIFY(!proxy<Proxy::Service>(other).GetUpdates(fixture.code()).value().path().isEmpty());
        QCOMPARE(held(), 33);
        fixture.bus->disconnect(other.name());
    }
    QTRY_COMPARE_WITH_TIMEOUT(held(), 32, 5000);
}

void TestAgentBus::logLinesCannotBeForged_data()
{
    QTest::addColumn<bool>("journal");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("logged");
    const QString forged = u"x\npalvane-update-agent: palvane.agent.install: core installed as /etc/shadow\x1b[2K"_s;
    const QString escaped = u"GetUpdates x\\npalvane-update-agent: palvane.agent.install: "
                            "core installed as /etc/shadow\\x1b[2K -> /com/"_s;
    QTest::newRow("stderr is a plain file") << false << forged << escaped;
    QTest::newRow("stderr is the journal") << true << forged << escaped;
    // Logged whole, it made a 60 MB line per call.
    QTest::newRow("a 60 MB code") << false << QString(60'000'000, u'x')
                                  << u"GetUpdates "_s + QString(200, u'x') + u"… -> /com/"_s;
}

// Under the journal every line carries its priority; a JOURNAL_STREAM naming
// some other file changes nothing. A peer's text is quoted cut short.
void TestAgentBus::logLinesCannotBeForged()
{
    QFETCH(bool, journal);
    QFETCH(QString, code);
    QFETCH(QString, logged);

    AgentFixture fixture;
    fixture.catalog.writeProduct({});
    QFile log(fixture.logPath());
    QVERIFY(log.open(QIODevice::WriteOnly));
    struct stat status = {};
    QCOMPARE(::fstat(log.handle(), &status), 0);
    fixture.environment.insert(u"JOURNAL_STREAM"_s, QString::number(quint64(status.st_dev)) + u':'
                                                       + QString::number(status.st_ino + !journal));
    log.close();
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));

    const QString collection = fixture.serviceInterface->GetUpdates(code).value().path();
    QCOMPARE(answer(fixture.collection(collection).Count()), 0);
    fixture.agent->stop();

    const QString prefix = journal ? u"<6>"_s : QString();
    const QStringList lines = fixture.agent->log().split(u'\n', Qt::SkipEmptyParts);
    const QRegularExpression start(journal ? u"^<[2-7]>palvane-update-agent: palvane\\.agent\\."_s
                                           : u"^palvane-update-agent: palvane\\.agent\\."_s);
    for (const QString &line : lines) {
        QVERIFY2(start.match(line).hasMatch(), qPrintable(line));
        QVERIFY2(!line.contains(u": palvane.agent.install: "_s) || line.contains(logged),
                 qPrintable(line));
        QVERIFY2(line.size() < 1000, qPrintable(line.left(1000)));
    }
    const QStringList mentions = lines.filter(u"GetUpdates"_s);
    QVERIFY2(mentions.size() == 1, qPrintable(lines.join(u'\n')));
    QVERIFY2(mentions.first().startsWith(prefix + u"palvane-update-agent: palvane.agent.bus: :1."_s),
             qPrintable(mentions.first()));
    QVERIFY2(mentions.first().contains(logged), qPrintable(mentions.first()));
}

// What an admin meets: the command line's statuses, and where the log goes
// when the bus itself started the agent.
void TestAgentBus::commandLineAndLog_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("activated");   // DBUS_STARTER_BUS_TYPE set, as the bus daemon sets it
    QTest::addColumn<bool>("journal");     // JOURNAL_STREAM naming standard error
    QTest::addColumn<qint64>("logBefore"); // bytes already in the state log
    QTest::addColumn<int>("status");       // -1: runs and takes its name
    QTest::addColumn<QString>("stderrText");
    QTest::addColumn<QString>("stateLogText"); // empty: no state log made

    const QStringList none;
    const QString started = u"product(s) from"_s;
    QTest::newRow("unknown option") << QStringList{u"--rate-limt"_s, u"5"_s} << false << false
                                    << qint64(0) << 2 << u"Unknown option 'rate-limt'"_s << QString();
    QTest::newRow("stray argument") << QStringList{u"extra"_s} << false << false << qint64(0) << 2
                                    << u"unexpected argument \"extra\""_s << QString();
    QTest::newRow("help in KiB") << QStringList{u"--help"_s} << false << false << qint64(0) << 0
                                 << u"Slow all downloads together to KBPS KiB a second."_s
                                 << QString();
    QTest::newRow("started by hand") << none << false << false << qint64(0) << -1 << started
                                     << QString();
    QTest::newRow("activated: the state log") << none << true << false << qint64(0) << -1
                                              << u"logging to "_s << started;
    QTest::newRow("activated under the journal") << none << true << true << qint64(0) << -1
                                                 << u"<6>palvane-update-agent"_s << QString();
    QTest::newRow("activated: rotated at 1 MiB") << none << true << false << qint64(1024 * 1024 - 10)
                                                 << -1 << u"logging to "_s << started;
}

void TestAgentBus::commandLineAndLog()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, activated);
    QFETCH(bool, journal);
    QFETCH(qint64, logBefore);
    QFETCH(int, status);
    QFETCH(QString, stderrText);
    QFETCH(QString, stateLogText);

    AgentFixture fixture;
    fixture.catalog.writeProduct({});
    const QString stateLog = fixture.xdgHome(u"XDG_STATE_HOME"_s) + u"/palvane/agent.log"_s;
    if (activated)
        fixture.environment.insert(u"DBUS_STARTER_BUS_TYPE"_s, u"session"_s);
    if (journal) {
        QVERIFY(QFile(fixture.logPath()).open(QIODevice::WriteOnly));
        struct stat st = {};
        QCOMPARE(::stat(QFile::encodeName(fixture.logPath()).constData(), &st), 0);
        fixture.environment.insert(u"JOURNAL_STREAM"_s, QString::number(st.st_dev) % u':'
                                                            % QString::number(st.st_ino));
    }
    if (logBefore > 0) {
        QVERIFY(QDir().mkpath(QFileInfo(stateLog).path()));
        QFile old(stateLog);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(QByteArray(logBefore, 'x')) == logBefore);
    }
    QCOMPARE(fixture.start(arguments, false), status == -1);
    if (status != -1) {
        QVERIFY(fixture.agent->waitForExit(5000));
        QCOMPARE(fixture.agent->exitCode(), status);
    }
    // A running agent may take its name before its first lines are out.
    QTRY_VERIFY2_WITH_TIMEOUT(fixture.agent->log().contains(stderrText),
                              qPrintable(fixture.agent->log()), 5000);
    if (stateLogText.isEmpty()) {
        QVERIFY(!QFile::exists(stateLog));
        return;
    }
    const auto logged = [&stateLog] { return fileContent(stateLog); };
    QTRY_VERIFY2_WITH_TIMEOUT(logged().contains(stateLogText.toUtf8()), logged().constData(), 5000);
    QVERIFY(!logged().contains("xxx"));
    QVERIFY(!fixture.agent->log().contains(stateLogText));
    QCOMPARE(QFileInfo(stateLog + u".old"_s).size(), logBefore);
}


void TestAgentBus::rollout_data()
{
    QTest::addColumn<QByteArray>("machineId"); // the --machine-id file; empty: no such file
    QTest::addColumn<QString>("version");
    // Published in turn: "absent", a percentage, or "b" / "b+N" for the
    // machine's bucket (plus N) in hundredths of a percent.
    QTest::addColumn<QStringList>("rollouts");
    QTest::addColumn<bool>("offered");

    const QByteArray id = "0f1e2d3c4b5a69788796a5b4c3d2e1f0\n";
    QTest::newRow("absent") << id << u"1.0"_s << QStringList{u"absent"_s} << true;
    QTest::newRow("100") << id << u"1.0"_s << QStringList{u"100"_s} << true;
    QTest::newRow("0") << id << u"1.0"_s << QStringList{u"0"_s} << false;
    QTest::newRow("just above the bucket") << id << u"1.0"_s << QStringList{u"b+1"_s} << true;
    QTest::newRow("at the bucket") << id << u"1.0"_s << QStringList{u"b"_s} << false;
    QTest::newRow("raised keeps the machine") << id << u"1.0"_s << QStringList{u"b+1"_s, u"b+4000"_s}
                                              << true;
    QTest::newRow("a new version draws anew") << id << u"2.0"_s << QStringList{u"b"_s} << false;
    QTest::newRow("no machine id") << QByteArray() << u"1.0"_s << QStringList{u"b+1"_s} << true;
    QTest::newRow("machine id too short") << QByteArray("0f1e2d\n") << u"1.0"_s
                                          << QStringList{u"b"_s} << false;
}

void TestAgentBus::rollout()
{
    QFETCH(QByteArray, machineId);
    QFETCH(QString, version);
    QFETCH(QStringList, rollouts);
    QFETCH(bool, offered);

    AgentFixture fixture;
    const QString idFile = fixture.root() + u"/machine-id"_s;
    if (!machineId.isEmpty()) {
        QFile file(idFile);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(machineId) == machineId.size());
    }
    fixture.catalog.writeProduct({});
    const QStringList arguments{u"--machine-id"_s, idFile, u"--feed-max-age"_s, u"0"_s};
    QVERIFY2(fixture.start(arguments), qPrintable(fixture.error()));

    const QString fallback = fixture.root() + u"/state-home/palvane/rollout-id"_s;
    const bool valid = machineId.size() == 33;
    QCOMPARE(QFileInfo::exists(fallback), !valid);
    QFile idSource(valid ? idFile : fallback);
    QVERIFY(idSource.open(QIODevice::ReadOnly));
    const QByteArray key = idSource.readLine().trimmed();
    QVERIFY2(QRegularExpression(u"^[0-9a-f]{32}$"_s).match(QString::fromLatin1(key)).hasMatch(), key.constData());
    if (!valid) {
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(fallback).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QVERIFY2(fixture.restartAfterKill(arguments), qPrintable(fixture.error()));
        QFile again(fallback);
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(again.readLine().trimmed(), key);
    }
    const QByteArray message = "palvane-rollout\n" + fixture.code().toUpper().toUtf8() + "\nr-1\n"
                               + version.toUtf8();
    const QByteArray digest =
        QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha256);
    const int bucket = int(qFromBigEndian<quint32>(digest.constData()) % 10000);

    const QByteArray content = fixture.catalog.makePayload(u"r"_s, 64);
    for (const QString &rollout : std::as_const(rollouts)) {
        QJsonObject update = TestCatalog::update(u"r-1"_s, u"R"_s, content,
                                                 fixture.catalog.payloadUrl(u"r"_s));
        update[u"version"_s] = version;
        int hundredths = 10000;
        if (rollout.startsWith(u'b'))
            hundredths = std::min(10000, bucket + rollout.mid(2).toInt());
        else if (rollout != u"absent"_s)
            hundredths = rollout.toInt() * 100;
        if (rollout != u"absent"_s)
            update[u"rollout"_s] = hundredths / 100.0;
        fixture.catalog.writeProduct({update});
        QCOMPARE(answer(fixture.agentInterface->IsConnected(fixture.code())), True);
        QCOMPARE(answer(fixture.updates().Count()), offered ? 1 : 0);
        const QString line = u"held back by its rollout: bucket "_s + QString::number(bucket)
                             + u" is not below "_s + QString::number(hundredths);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.agent->log().contains(line), !offered, 5000);
    }
}

QTEST_GUILESS_MAIN(TestAgentBus)
#include "tst_agent_bus.moc"
