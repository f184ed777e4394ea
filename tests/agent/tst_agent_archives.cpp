// SPDX-License-Identifier: GPL-3.0-or-later
// Archive updates through the agent on a private bus: unpacked before the
// download completes, installed by moving a link, the previous tree kept,
// nothing of a refused archive or of a killed agent left behind.

#include "AgentFixture.h"
#include "CollectionProxy.h"
#include "ItemProxy.h"
#include "ServiceProxy.h"
#include "TestArchive.h"
#include "service/Contract.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using namespace TestArchive;

namespace {

constexpr int DownloadTimeoutMs = 20000;

// The update "app" of the given version, its archive a payload of the catalog.
QJsonObject archiveUpdate(const TestCatalog &catalog, const QString &version, const QByteArray &archive,
                          qint64 unpackedSize)
{
    const QString name = u"app-"_s + version + u".tar"_s;
    QFile payload(catalog.payloadDir() + u'/' + name);
    if (payload.open(QIODevice::WriteOnly))
        payload.write(archive);
    QJsonObject update = TestCatalog::update(u"app"_s, u"App "_s + version, archive,
                                             catalog.payloadUrl(name));
    update.remove(u"file"_s); // the link is named after the id
    update.insert(u"version"_s, version);
    update.insert(u"install"_s, u"archive"_s);
    update.insert(u"unpackedSize"_s, double(unpackedSize));
    return update;
}

// A product tree: a launcher, a library reached through a relative link, a
// set-user-id helper whose bit must not survive.
QByteArray productTree(const QByteArray &version, const char *filter = "none")
{
    return make({aFolder("bin"), aFile("bin/app", "#!/bin/sh\necho " + version + "\n", 0755),
                 aFile("bin/helper", "x", 04755), aFile("lib/libapp.so.1", version),
                 aLink("lib/libapp.so", "libapp.so.1")},
                filter);
}
constexpr qint64 TreeBytes = 64; // more than productTree's files need

QString readLink(const QString &path)
{
    char target[4096];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
    return n > 0 ? QFile::decodeName(QByteArray(target, int(n))) : QString();
}

// One client of the agent, through the proxies made from the contract's XML.
class Client
{
public:
    explicit Client(AgentFixture &fixture)
        : m_fixture(fixture)
        , m_bus(fixture.bus->connect(u"archive-client"_s))
        , m_agent(service(), path(), m_bus)
        , m_service(service(), path(), m_bus)
    {
    }

    // Lists the product's updates again and takes the first.
    bool takeFirst()
    {
        m_agent.IsConnected(m_fixture.code()).waitForFinished();
        const QDBusObjectPath collectionPath = m_service.GetUpdates(m_fixture.code()).value();
        ComPalvaneUpdateServiceUpdateCollectionInterface collection(service(), collectionPath.path(), m_bus);
        if (collection.Count().value() < 1)
            return false;
        const QString itemPath = qvariant_cast<QDBusObjectPath>(collection.Item(1).value().variant()).path();
        item = std::make_unique<ComPalvaneUpdateServiceUpdateItemInterface>(service(), itemPath, m_bus);
        events = std::make_unique<ComPalvaneUpdateServiceUpdateItemEventsInterface>(service(), itemPath,
                                                                                      m_bus);
        return true;
    }
    // Starts the download and waits for its end; returns the result code.
    int download()
    {
        QSignalSpy complete(events.get(),
                            &ComPalvaneUpdateServiceUpdateItemEventsInterface::OnDownloadComplete);
        QDBusPendingReply<> reply = item->Execute();
        reply.waitForFinished();
        if (reply.isError() || !complete.wait(DownloadTimeoutMs))
            return -1;
        return complete.first().first().toInt();
    }
    // The second Execute: empty when it installed, else the error's name.
    QString install()
    {
        QDBusPendingReply<> reply = item->Execute();
        reply.waitForFinished();
        return reply.isError() ? reply.error().name() : QString();
    }
    bool installVersion()
    {
        return takeFirst() && download() == 0 && install().isEmpty();
    }
    int count()
    {
        m_agent.IsConnected(m_fixture.code()).waitForFinished();
        ComPalvaneUpdateServiceUpdateCollectionInterface collection(
            service(), m_service.GetUpdates(m_fixture.code()).value().path(), m_bus);
        return collection.Count().value();
    }

    std::unique_ptr<ComPalvaneUpdateServiceUpdateItemInterface> item;
    std::unique_ptr<ComPalvaneUpdateServiceUpdateItemEventsInterface> events;

private:
    static QString service() { return QString::fromUtf16(Contract::ServiceName); }
    static QString path() { return QString::fromUtf16(Contract::ServicePath); }

    AgentFixture &m_fixture;
    QDBusConnection m_bus;
    ComPalvaneUpdateServiceAgentInterface m_agent;
    ComPalvaneUpdateServiceServiceInterface m_service;
};

const QStringList Fresh{u"--feed-max-age"_s, u"0"_s};

} // namespace

class TestAgentArchives : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void versionsInTurn();
    void refusedArchiveLeavesNothing_data();
    void refusedArchiveLeavesNothing();
    void somethingElseAtTheLink_data();
    void somethingElseAtTheLink();
    void killedDuringTheUnpack();
    void killedBetweenTheRenames();
    void noRoomForTheTree();
};

// The link moves from tree to tree; the previous one stays, the one before
// it goes; the launcher runs through the link.
void TestAgentArchives::versionsInTurn()
{
    AgentFixture f;
    const QString dir = f.catalog.installDir();
    f.catalog.writeProduct({archiveUpdate(f.catalog, u"1.0"_s, productTree("1.0"), TreeBytes)});
    QVERIFY2(f.start(Fresh), qPrintable(f.error()));
    Client client(f);
    QVERIFY(client.installVersion());
    QCOMPARE(readLink(dir + u"/app"_s), u".app-1.0"_s);
    QCOMPARE(listing(dir),
             (QStringList{u"d755 .app-1.0"_s, u"d755 .app-1.0/bin"_s, u"d755 .app-1.0/lib"_s,
                          u"f644 .app-1.0/lib/libapp.so.1"_s, u"f755 .app-1.0/bin/app"_s,
                          u"f755 .app-1.0/bin/helper"_s, u"l777 .app-1.0/lib/libapp.so -> libapp.so.1"_s,
                          u"l777 app -> .app-1.0"_s}));
    QProcess launcher;
    launcher.start(dir + u"/app/bin/app"_s);
    QVERIFY(launcher.waitForFinished(5000));
    QCOMPARE(launcher.readAllStandardOutput(), QByteArray("1.0\n"));
    QCOMPARE(client.count(), 0);

    f.catalog.writeProduct({archiveUpdate(f.catalog, u"2.0"_s, productTree("2.0", "zstd"), TreeBytes)});
    QVERIFY(client.installVersion());
    QCOMPARE(readLink(dir + u"/app"_s), u".app-2.0"_s);
    QVERIFY(QFileInfo::exists(dir + u"/.app-1.0/bin/app"_s));

    f.catalog.writeProduct({archiveUpdate(f.catalog, u"3.0"_s, productTree("3.0", "gzip"), TreeBytes)});
    QVERIFY(client.installVersion());
    QCOMPARE(readLink(dir + u"/app"_s), u".app-3.0"_s);
    QFile library(dir + u"/app/lib/libapp.so"_s);
    QVERIFY(library.open(QIODevice::ReadOnly));
    QCOMPARE(library.readAll(), QByteArray("3.0"));
    QTRY_COMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{u".app-2.0"_s, u".app-3.0"_s, u"app"_s}));
    QCOMPARE(client.count(), 0);
}

void TestAgentArchives::refusedArchiveLeavesNothing_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QString>("reason");
    QTest::newRow("dot dot") << make({aFile("bin/app"), aFile("bin/../../../escape")})
                             << u"entry \"bin/../../../escape\" has a \"..\" component"_s;
    QTest::newRow("link leading out") << make({aFile("bin/app"), aLink("bin/up", "../../..")})
                                      << u"entry \"bin/up\" is a symbolic link that leads outside the tree"_s;
}

// Code 5 with the entry and the reason; neither a tree nor the archive stays.
void TestAgentArchives::refusedArchiveLeavesNothing()
{
    QFETCH(QByteArray, archive);
    QFETCH(QString, reason);
    AgentFixture f;
    f.catalog.writeProduct({archiveUpdate(f.catalog, u"1.0"_s, archive, TreeBytes)});
    QVERIFY2(f.start(Fresh), qPrintable(f.error()));
    Client client(f);
    QVERIFY(client.takeFirst());
    QCOMPARE(client.download(), int(Contract::DownloadResult::ChecksumMismatch));
    const QString text = client.item->GetText(1).value();
    QVERIFY2(text.contains(reason), qPrintable(text));
    QCOMPARE(listing(f.catalog.installDir()), QStringList());
    QVERIFY(!QFileInfo::exists(f.root() + u"/escape"_s));
}

void TestAgentArchives::somethingElseAtTheLink_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("the user's own folder") << u"folder"_s;
    QTest::newRow("a file") << u"file"_s;
    QTest::newRow("a link elsewhere") << u"link"_s;
    QTest::newRow("a link to a tree of another name") << u"other"_s;
}

// The agent replaces only the links it made: anything else at <file> is
// refused with InstallFailed and left as it was, the unpacked tree kept.
void TestAgentArchives::somethingElseAtTheLink()
{
    QFETCH(QString, kind);
    AgentFixture f;
    const QString dir = f.catalog.installDir();
    const QString app = dir + u"/app"_s;
    if (kind == u"folder"_s) {
        QVERIFY(QDir().mkpath(app + u"/data"_s));
        QFile mine(app + u"/data/mine.txt"_s);
        QVERIFY(mine.open(QIODevice::WriteOnly) && mine.write("mine") == 4);
    } else if (kind == u"file"_s) {
        QFile mine(app);
        QVERIFY(mine.open(QIODevice::WriteOnly) && mine.write("mine") == 4);
    } else {
        QVERIFY(QDir().mkpath(dir + u"/.other-1"_s));
        QVERIFY(QFile::link(kind == u"link"_s ? f.root() : u".other-1"_s, app));
    }
    const QStringList before = listing(dir);
    f.catalog.writeProduct({archiveUpdate(f.catalog, u"1.0"_s, productTree("1.0"), TreeBytes)});
    QVERIFY2(f.start(Fresh), qPrintable(f.error()));
    Client client(f);
    QVERIFY(client.takeFirst());
    QCOMPARE(client.download(), 0);
    QCOMPARE(client.install(), QString::fromUtf16(Contract::Error::InstallFailed));
    QStringList after = listing(dir);
    after.removeIf([](const QString &line) { return line.contains(u".app-1.0.unpack-"_s); });
    QCOMPARE(after, before);
    QCOMPARE(client.count(), 1);
}

// A kill in the middle of unpacking leaves the link on the old tree; the
// next start removes the half tree, and the update installs after all.
void TestAgentArchives::killedDuringTheUnpack()
{
    AgentFixture f;
    const QString dir = f.catalog.installDir();
    QVERIFY(QDir().mkpath(dir + u"/.app-1.0/bin"_s));
    QVERIFY(QFile::link(u".app-1.0"_s, dir + u"/app"_s));
    QList<Entry> many;
    for (int i = 0; i < 20000; ++i)
        many.append(aFile("share/f" + QByteArray::number(i), QByteArray()));
    f.catalog.writeProduct({archiveUpdate(f.catalog, u"2.0"_s, make(many, "gzip"), 0)});
    QVERIFY2(f.start(Fresh), qPrintable(f.error()));
    {
        Client client(f);
        QVERIFY(client.takeFirst());
        QVERIFY(!client.item->Execute().isError());
        QTRY_VERIFY2_WITH_TIMEOUT(
            !QDir(dir).entryList({u".app-2.0.unpack-*"_s}, QDir::Dirs | QDir::Hidden).isEmpty(),
            qPrintable(f.agent->log().right(2000)), DownloadTimeoutMs);
        QVERIFY(f.restartAfterKill(Fresh));
    }
    // The downloaded archive stays for the next download of 2.0.
    QStringList left = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    left.removeIf([](const QString &name) { return name.startsWith(u".app."_s) && name.endsWith(u".part"_s); });
    QCOMPARE(left, (QStringList{u".app-1.0"_s, u"app"_s}));
    QCOMPARE(readLink(dir + u"/app"_s), u".app-1.0"_s);
    QVERIFY(f.agent->log().contains(u"removed the unfinished unpack"_s));
    Client client(f);
    QVERIFY(client.installVersion());
    QCOMPARE(readLink(dir + u"/app"_s), u".app-2.0"_s);
}

// What a kill between the rename of the tree and the rename of the link
// leaves: the new tree beside the old, the new link not yet over the old
// one. The link still names a whole tree; the next start removes the
// stray link, and the install done again replaces the stray tree.
void TestAgentArchives::killedBetweenTheRenames()
{
    AgentFixture f;
    const QString dir = f.catalog.installDir();
    QVERIFY(QDir().mkpath(dir + u"/.app-1.0/bin"_s));
    QVERIFY(QDir().mkpath(dir + u"/.app-2.0/stale"_s));
    QVERIFY(QFile::link(u".app-1.0"_s, dir + u"/app"_s));
    QVERIFY(QFile::link(u".app-2.0"_s, dir + u"/.app-2.0.unpack-k1ll3d"_s));
    f.catalog.writeProduct({archiveUpdate(f.catalog, u"2.0"_s, productTree("2.0"), TreeBytes)});
    QVERIFY2(f.start(Fresh), qPrintable(f.error()));
    QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             (QStringList{u".app-1.0"_s, u".app-2.0"_s, u"app"_s}));
    QCOMPARE(readLink(dir + u"/app"_s), u".app-1.0"_s);
    Client client(f);
    QVERIFY(client.installVersion());
    QCOMPARE(readLink(dir + u"/app"_s), u".app-2.0"_s);
    QVERIFY(QFileInfo::exists(dir + u"/app/bin/app"_s));
    QTRY_COMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{u".app-1.0"_s, u".app-2.0"_s, u"app"_s}));
    QVERIFY(!QFileInfo::exists(dir + u"/.app-2.0/stale"_s));
}

// The room for the archive and its tree is asked before anything is
// written.
void TestAgentArchives::noRoomForTheTree()
{
    AgentFixture f;
    f.catalog.writeProduct({archiveUpdate(f.catalog, u"1.0"_s, productTree("1.0"), qint64(1) << 52)});
    QVERIFY2(f.start(Fresh), qPrintable(f.error()));
    Client client(f);
    QVERIFY(client.takeFirst());
    QCOMPARE(client.item->PrepareDownload(Contract::True).value(), Contract::False);
    QCOMPARE(client.download(), int(Contract::DownloadResult::LocalFileFailed));
    QVERIFY(client.item->GetText(1).value().contains(u"not enough free space"_s));
    QCOMPARE(listing(f.catalog.installDir()), QStringList());
}

QTEST_GUILESS_MAIN(TestAgentArchives)
#include "tst_agent_archives.moc"
