// SPDX-License-Identifier: GPL-3.0-or-later
// Downloads through the agent on a private bus: events, failures, cancel,
// install, parallel downloads, crashes, a tampered download and a full disk.

#include "AgentFixture.h"
#include "HttpTestServer.h"
#include "ItemEvents.h"
#include "service/Contract.h"

#include <QCryptographicHash>
#include <QDBusError>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr int DownloadTimeoutMs = 15000;
constexpr qint64 PayloadSize = 1536 * 1024;

using Kind = HttpTestServer::Kind;
using Result = Contract::DownloadResult;

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool isRecorded(const AgentFixture &fixture, const QString &id)
{
    const QJsonObject state = QJsonDocument::fromJson(fileContent(fixture.statePath())).object();
    return state.value(fixture.code()).toObject().contains(id);
}

QString partFile(const TestCatalog &catalog)
{
    const QStringList parts = QDir(catalog.installDir()).entryList({u".*.part"_s}, QDir::Files | QDir::Hidden);
    return parts.size() == 1 ? catalog.installDir() + u'/' + parts.first() : QString();
}

// A small tmpfs over a folder, for a disk that really fills; unmounted
// (lazily, whatever still holds it) when it goes.
class SmallDisk
{
public:
    SmallDisk(const QString &folder, const QString &size)
        : m_folder(folder)
    {
        m_mounted = QProcess::execute(u"mount"_s, {u"-t"_s, u"tmpfs"_s, u"-o"_s, u"size="_s + size,
                                                    u"tmpfs"_s, folder})
                    == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            QProcess::execute(u"umount"_s, {u"-l"_s, m_folder});
    }
    bool isMounted() const { return m_mounted; }

private:
    QString m_folder;
    bool m_mounted = false;
};

} // namespace

class TestAgentDownloads : public QObject
{
    Q_OBJECT

private:
    // Starts the agent over one update and returns the path of its item.
    QString startWithUpdate(AgentFixture &fixture, const QJsonObject &update,
                            const QStringList &arguments = {});
    // The same over a file:// payload of `size` random bytes, kept in *content.
    QString startWithFile(AgentFixture &fixture, qint64 size, QByteArray *content,
                          const QStringList &arguments = {});

private Q_SLOTS:
    void initTestCase();
    void download_data();
    void download();
    void failure_data();
    void failure();
    void cancelMidDownload_data();
    void cancelMidDownload();
    void install();
    void callsOutOfState();
    void twoDownloadsAtOnce();
    void progressReports();
    void restartAfterKill_data();
    void restartAfterKill();
    void partChangedAfterVerification_data();
    void partChangedAfterVerification();
    void diskFull_data();
    void diskFull();

private:
    HttpTestServer m_server;
};

void TestAgentDownloads::initTestCase()
{
    QVERIFY(m_server.startListening());
}

QString TestAgentDownloads::startWithUpdate(AgentFixture &fixture, const QJsonObject &update,
                                            const QStringList &arguments)
{
    fixture.catalog.writeProduct({update});
    if (!fixture.start(arguments)) {
        qWarning().noquote() << fixture.error();
        return {};
    }
    const QString collection = fixture.client->getUpdates(fixture.code());
    return fixture.client->item(collection, 1);
}

QString TestAgentDownloads::startWithFile(AgentFixture &fixture, qint64 size, QByteArray *content,
                                          const QStringList &arguments)
{
    *content = fixture.catalog.makePayload(u"payload.bin"_s, size);
    return startWithUpdate(fixture,
                           TestCatalog::update(u"u1"_s, u"First"_s, *content,
                                               fixture.catalog.payloadUrl(u"payload.bin"_s)),
                           arguments);
}

void TestAgentDownloads::download_data()
{
    QTest::addColumn<QString>("source");
    QTest::newRow("file") << u"file"_s;
    QTest::newRow("http") << u"http"_s;
    QTest::newRow("http after two redirects") << u"redirect"_s;
}

void TestAgentDownloads::download()
{
    QFETCH(QString, source);
    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"payload.bin"_s, PayloadSize);
    const QString path = u"/download/"_s + source;
    QUrl url = fixture.catalog.payloadUrl(u"payload.bin"_s);
    if (source != u"file"_s) {
        m_server.setRoute(path, {Kind::Serve, content, {}, 0});
        url = m_server.url(path);
    }
    if (source == u"redirect"_s) {
        m_server.setRoute(path + u"/hop1"_s, {Kind::Redirect, {}, m_server.url(path + u"/hop2"_s), 0});
        m_server.setRoute(path + u"/hop2"_s, {Kind::Redirect, {}, m_server.url(path), 0});
        url = m_server.url(path + u"/hop1"_s);
    }
    const QString item = startWithUpdate(fixture, TestCatalog::update(u"u1"_s, u"First"_s, content, url));
    QVERIFY2(!item.isEmpty(), qPrintable(fixture.error()));
    const auto events = fixture.events(item);
    QVERIFY(events->isSubscribed());

    QCOMPARE(fixture.client->prepareDownload(item), Contract::True);
    QCOMPARE(fixture.client->execute(item).type(), QDBusMessage::ReplyMessage);
    QVERIFY(events->waitForComplete(DownloadTimeoutMs));
    QTest::qWait(100); // nothing may follow the completion

    const QList<ItemEvents::Event> &all = events->events();
    QVERIFY(all.size() >= 3);
    QCOMPARE(all.first().type, ItemEvents::Event::Begin);
    QCOMPARE(all.last().type, ItemEvents::Event::Complete);
    QCOMPARE(all.last().code, 0);
    const QList<ItemEvents::Event> progress = events->progress();
    QCOMPARE(progress.size(), all.size() - 2);
    for (qsizetype i = 1; i < progress.size(); ++i) {
        QVERIFY(progress[i].bytes >= progress[i - 1].bytes);
        QVERIFY(progress[i].percent >= progress[i - 1].percent);
    }
    QCOMPARE(progress.last().bytes, int(PayloadSize));
    QCOMPARE(progress.last().percent, 100);
    QCOMPARE(fixture.client->text(item), QString());
    // Verified but not installed: only the hidden download is there.
    const QStringList files = fixture.catalog.installedFiles();
    QCOMPARE(files.size(), 1);
    QVERIFY2(files.first().startsWith(u".u1.bin."_s) && files.first().endsWith(u".part"_s),
             qPrintable(files.first()));
    QCOMPARE(fixture.client->prepareDownload(item), Contract::False);
}

void TestAgentDownloads::failure_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("damaged");
    QTest::addColumn<qint64>("catalogSize");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reason");

    const int serve = int(Kind::Serve);
    QTest::newRow("checksum mismatch over http")
        << u"http"_s << serve << true << qint64(0) << int(Result::ChecksumMismatch)
        << u"The downloaded file is damaged (checksum mismatch)."_s;
    QTest::newRow("checksum mismatch in a file")
        << u"file"_s << serve << true << qint64(0) << int(Result::ChecksumMismatch)
        << u"The downloaded file is damaged (checksum mismatch)."_s;
    QTest::newRow("404")
        << u"http"_s << int(Kind::NotFound) << false << qint64(0) << int(Result::SourceFailed)
        << u"The download failed: HTTP 404 Not Found"_s;
    QTest::newRow("server stalls")
        << u"http"_s << int(Kind::Stall) << false << qint64(0) << int(Result::TimedOut)
        << u"The download failed: no data arrived for 1.5 seconds."_s;
    QTest::newRow("server closes early")
        << u"http"_s << int(Kind::CloseEarly) << false << qint64(0) << int(Result::WrongSize)
        << u"The download failed: the transfer ended after "_s;
    QTest::newRow("server sends less than the catalog says")
        << u"http"_s << serve << false << PayloadSize + 10 << int(Result::WrongSize)
        << u"The download failed: the transfer ended after 1572864 of 1572874 bytes."_s;
    QTest::newRow("server sends more than the catalog says")
        << u"http"_s << serve << false << PayloadSize - 10 << int(Result::WrongSize)
        << u"The download failed: the source sent more than the expected 1572854 bytes."_s;
    QTest::newRow("no server")
        << u"closed port"_s << serve << false << qint64(0) << int(Result::SourceFailed)
        << u"The download failed: Connection refused"_s;
    QTest::newRow("missing file")
        << u"missing file"_s << serve << false << qint64(0) << int(Result::SourceFailed)
        << u"The download failed: cannot open"_s;
}

void TestAgentDownloads::failure()
{
    QFETCH(QString, source);
    QFETCH(int, kind);
    QFETCH(bool, damaged);
    QFETCH(qint64, catalogSize);
    QFETCH(int, code);
    QFETCH(QString, reason);

    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"payload.bin"_s, PayloadSize);
    QByteArray served = content;
    if (damaged) {
        served[PayloadSize / 2] = char(served[PayloadSize / 2] ^ 0x55);
        QFile file(fixture.catalog.payloadDir() + u"/payload.bin"_s);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(served) == served.size());
    }
    const QString path = u"/failure/"_s + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
    m_server.setRoute(path, {Kind(kind), served, {}, PayloadSize / 3});
    QUrl url = m_server.url(path);
    if (source == u"file"_s)
        url = fixture.catalog.payloadUrl(u"payload.bin"_s);
    else if (source == u"missing file"_s)
        url = fixture.catalog.payloadUrl(u"nowhere.bin"_s);
    else if (source == u"closed port"_s)
        url = QUrl(u"http://127.0.0.1:1/payload.bin"_s);

    QJsonObject update = TestCatalog::update(u"u1"_s, u"First"_s, content, url);
    update.insert(u"failureText"_s, u"{name} {version}: {reason}"_s);
    if (catalogSize > 0)
        update.insert(u"size"_s, double(catalogSize));
    const QString item = startWithUpdate(fixture, update, {u"--stall-timeout"_s, u"1.5"_s});
    QVERIFY2(!item.isEmpty(), qPrintable(fixture.error()));
    const auto events = fixture.events(item);
    QCOMPARE(fixture.client->execute(item).type(), QDBusMessage::ReplyMessage);
    QVERIFY(events->waitForComplete(DownloadTimeoutMs));

    QCOMPARE(events->events().first().type, ItemEvents::Event::Begin);
    QCOMPARE(events->completeCode(), code);
    const QString text = fixture.client->text(item);
    QVERIFY2(text.startsWith(u"First 1.0: "_s + reason), qPrintable(text));
    QVERIFY2(fixture.catalog.installedFiles().isEmpty(),
             qPrintable(fixture.catalog.installedFiles().join(u", "_s)));
    // A failed download may be tried again.
    QCOMPARE(fixture.client->prepareDownload(item), Contract::True);
}

void TestAgentDownloads::cancelMidDownload_data()
{
    QTest::addColumn<bool>("overHttp");
    QTest::newRow("file") << false;
    QTest::newRow("http") << true;
}

void TestAgentDownloads::cancelMidDownload()
{
    QFETCH(bool, overHttp);
    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"payload.bin"_s, 2 * 1024 * 1024);
    m_server.setRoute(u"/cancel"_s, {Kind::Serve, content, {}, 0});
    const QUrl url = overHttp ? m_server.url(u"/cancel"_s)
                              : fixture.catalog.payloadUrl(u"payload.bin"_s);
    const QString item = startWithUpdate(fixture, TestCatalog::update(u"u1"_s, u"First"_s, content, url),
                                         {u"--rate-limit"_s, u"256"_s});
    QVERIFY2(!item.isEmpty(), qPrintable(fixture.error()));
    const auto events = fixture.events(item);

    QCOMPARE(fixture.client->execute(item).type(), QDBusMessage::ReplyMessage);
    QVERIFY(events->waitForBytes(64 * 1024, DownloadTimeoutMs));
    QVERIFY(!events->completed());
    QCOMPARE(fixture.catalog.installedFiles().size(), 1); // the partial file

    QCOMPARE(fixture.client->cancel(item).type(), QDBusMessage::ReplyMessage);
    QVERIFY(events->waitForComplete(5000));
    QCOMPARE(events->completeCode(), int(Result::Cancelled));
    QCOMPARE(fixture.client->text(item), u"Download cancelled."_s);
    QVERIFY(events->maxBytes() < content.size());
    QVERIFY2(fixture.catalog.installedFiles().isEmpty(),
             qPrintable(fixture.catalog.installedFiles().join(u", "_s)));

    // Cancelling what is not downloading does nothing.
    const qsizetype seen = events->events().size();
    QCOMPARE(fixture.client->cancel(item).type(), QDBusMessage::ReplyMessage);
    QTest::qWait(300);
    QCOMPARE(events->events().size(), seen);
}

void TestAgentDownloads::install()
{
    AgentFixture fixture;
    const QByteArray first = fixture.catalog.makePayload(u"first.bin"_s, 300 * 1024);
    const QByteArray second = fixture.catalog.makePayload(u"second.bin"_s, 200 * 1024);
    fixture.catalog.writeProduct(
        {TestCatalog::update(u"u1"_s, u"First"_s, first, fixture.catalog.payloadUrl(u"first.bin"_s)),
         TestCatalog::update(u"u2"_s, u"Second"_s, second,
                             fixture.catalog.payloadUrl(u"second.bin"_s))});
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));
    const QString collection = fixture.client->getUpdates(fixture.code());
    QCOMPARE(fixture.client->count(collection), 2);
    const QString item = fixture.client->item(collection, 1);
    const auto events = fixture.events(item);
    QCOMPARE(fixture.client->execute(item).type(), QDBusMessage::ReplyMessage);
    QVERIFY(events->waitForComplete(DownloadTimeoutMs));
    QCOMPARE(events->completeCode(), int(Result::Success));
    QVERIFY(!QFile::exists(fixture.catalog.installDir() + u"/u1.bin"_s));

    QCOMPARE(fixture.client->execute(item).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(fileContent(fixture.catalog.installDir() + u"/u1.bin"_s), first);
    QCOMPARE(fixture.catalog.installedFiles(), QStringList{u"u1.bin"_s});
    const QJsonObject state = QJsonDocument::fromJson(fileContent(fixture.statePath())).object();
    QCOMPARE(state.value(fixture.code()).toObject().value(u"u1"_s).toObject().value(u"version"_s),
             u"1.0"_s);

    // No longer offered, and the item refuses a second install.
    const QString after = fixture.client->getUpdates(fixture.code());
    QCOMPARE(fixture.client->count(after), 1);
    QCOMPARE(fixture.client->name(fixture.client->item(after, 1)), u"Second"_s);
    const QDBusMessage again = fixture.client->execute(item);
    QCOMPARE(again.type(), QDBusMessage::ErrorMessage);
    QCOMPARE(again.errorName(), QString::fromUtf16(Contract::Error::AlreadyInstalled));
    QCOMPARE(fixture.client->prepareDownload(item), Contract::False);
    QCOMPARE(fixture.client->cancel(item).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(fixture.catalog.installedFiles(), QStringList{u"u1.bin"_s});
}

void TestAgentDownloads::callsOutOfState()
{
    AgentFixture fixture;
    QByteArray content;
    const QString item = startWithFile(fixture, 1024 * 1024, &content, {u"--rate-limit"_s, u"256"_s});
    QVERIFY2(!item.isEmpty(), qPrintable(fixture.error()));
    const auto events = fixture.events(item);
    QCOMPARE(fixture.client->execute(item).type(), QDBusMessage::ReplyMessage);

    const QDBusMessage twice = fixture.client->execute(item);
    QCOMPARE(twice.type(), QDBusMessage::ErrorMessage);
    QCOMPARE(twice.errorName(), QString::fromUtf16(Contract::Error::InProgress));
    QVERIFY2(twice.errorMessage().contains(u"\"First\""_s), qPrintable(twice.errorMessage()));
    QCOMPARE(fixture.client->prepareDownload(item), Contract::False);

    // The same update reached through a second collection is taken.
    const QString other = fixture.client->item(fixture.client->getUpdates(fixture.code()), 1);
    QVERIFY(other != item);
    QCOMPARE(fixture.client->prepareDownload(other), Contract::False);
    QCOMPARE(fixture.client->execute(other).errorName(),
             QString::fromUtf16(Contract::Error::Claimed));

    QCOMPARE(fixture.client->cancel(item).type(), QDBusMessage::ReplyMessage);
    QVERIFY(events->waitForComplete(5000));
    QCOMPARE(fixture.client->prepareDownload(other), Contract::True);
}

void TestAgentDownloads::twoDownloadsAtOnce()
{
    AgentFixture fixture;
    const QByteArray first = fixture.catalog.makePayload(u"first.bin"_s, 768 * 1024);
    const QByteArray second = fixture.catalog.makePayload(u"second.bin"_s, 768 * 1024);
    m_server.setRoute(u"/two/first"_s, {Kind::Serve, first, {}, 0});
    fixture.catalog.writeProduct(
        {TestCatalog::update(u"u1"_s, u"First"_s, first, m_server.url(u"/two/first"_s)),
         TestCatalog::update(u"u2"_s, u"Second"_s, second,
                             fixture.catalog.payloadUrl(u"second.bin"_s))});
    QVERIFY2(fixture.start({u"--rate-limit"_s, u"512"_s}), qPrintable(fixture.error()));
    const QString collection = fixture.client->getUpdates(fixture.code());
    const QString a = fixture.client->item(collection, 1);
    const QString b = fixture.client->item(collection, 2);
    const auto eventsA = fixture.events(a);
    const auto eventsB = fixture.events(b);
    QCOMPARE(fixture.client->execute(a).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(fixture.client->execute(b).type(), QDBusMessage::ReplyMessage);
    QVERIFY(eventsA->waitForComplete(DownloadTimeoutMs));
    QVERIFY(eventsB->waitForComplete(DownloadTimeoutMs));
    QCOMPARE(eventsA->completeCode(), int(Result::Success));
    QCOMPARE(eventsB->completeCode(), int(Result::Success));

    // Both ran at the same time: each moved while the other was midway.
    const auto midway = [](const ItemEvents &events, qint64 atMs) {
        int bytes = 0;
        for (const ItemEvents::Event &event : events.progress())
            if (event.atMs <= atMs)
                bytes = event.bytes;
        return bytes;
    };
    const qint64 aDone = eventsA->events().last().atMs;
    const qint64 bDone = eventsB->events().last().atMs;
    QVERIFY(midway(*eventsB, aDone) > 0);
    QVERIFY(midway(*eventsA, bDone) > 0);
    QVERIFY(midway(*eventsA, std::min(aDone, bDone) - 200) < first.size());
    QVERIFY(midway(*eventsB, std::min(aDone, bDone) - 200) < second.size());
    // At 512 KB/s each, sharing a limit would have taken twice as long.
    QVERIFY2(std::max(aDone, bDone) < 2800, qPrintable(QString::number(std::max(aDone, bDone))));
}

void TestAgentDownloads::progressReports()
{
    AgentFixture fixture;
    QByteArray content;
    const QString item = startWithFile(fixture, 1536 * 1024, &content, {u"--rate-limit"_s, u"512"_s});
    QVERIFY2(!item.isEmpty(), qPrintable(fixture.error()));
    const auto events = fixture.events(item);
    QCOMPARE(fixture.client->execute(item).type(), QDBusMessage::ReplyMessage);
    QVERIFY(events->waitForComplete(DownloadTimeoutMs));
    QCOMPARE(events->completeCode(), int(Result::Success));

    const QList<ItemEvents::Event> progress = events->progress();
    const qint64 seconds = (events->events().last().atMs - events->events().first().atMs) / 1000 + 1;
    // Ten a second at most, plus the last one.
    QVERIFY2(progress.size() <= 10 * seconds + 1, qPrintable(QString::number(progress.size())));
    QVERIFY(progress.size() >= 10);
    QCOMPARE(progress.first().rate, u"Estimating..."_s);
    QCOMPARE(progress.first().time, u"Estimating..."_s);

    static const QRegularExpression rateForm(u"^(\\d+) B/s$|^(\\d+(\\.\\d)?) (KB|MB|GB)/s$"_s);
    static const QRegularExpression timeForm(u"^\\d+:\\d\\d$"_s);
    double previous = 0;
    int known = 0;
    for (const ItemEvents::Event &event : progress) {
        if (event.rate == u"Estimating..."_s) {
            QCOMPARE(known, 0); // once known, it stays known
            continue;
        }
        ++known;
        const QRegularExpressionMatch match = rateForm.match(event.rate);
        QVERIFY2(match.hasMatch(), qPrintable(event.rate));
        QVERIFY2(timeForm.match(event.time).hasMatch(), qPrintable(event.time));
        QCOMPARE(match.captured(4), u"KB"_s);
        const double rate = match.captured(2).toDouble();
        // Near the limit, and smooth from one report to the next.
        QVERIFY2(rate > 350 && rate < 700, qPrintable(event.rate));
        if (previous > 0)
            QVERIFY2(qAbs(rate - previous) / previous < 0.2, qPrintable(event.rate));
        previous = rate;
    }
    QVERIFY(known >= 5);
    QCOMPARE(progress.last().time, u"0:00"_s);
}

void TestAgentDownloads::restartAfterKill_data()
{
    QTest::addColumn<bool>("verified");
    QTest::addColumn<bool>("inPlace"); // the rename happened, the record did not
    QTest::newRow("mid-download") << false << false;
    QTest::newRow("between verification and install") << true << false;
    QTest::newRow("between the rename and the record") << true << true;
}

void TestAgentDownloads::restartAfterKill()
{
    QFETCH(bool, verified);
    QFETCH(bool, inPlace);
    AgentFixture fixture;
    QByteArray content;
    const QString item = startWithFile(fixture, 1024 * 1024, &content,
                                       {u"--rate-limit"_s, verified ? u"0"_s : u"256"_s});
    QVERIFY2(!item.isEmpty(), qPrintable(fixture.error()));
    const auto events = fixture.events(item);
    QCOMPARE(fixture.client->execute(item).type(), QDBusMessage::ReplyMessage);
    QVERIFY(verified ? events->waitForComplete(DownloadTimeoutMs)
                     : events->waitForBytes(64 * 1024, DownloadTimeoutMs));
    QVERIFY(!partFile(fixture.catalog).isEmpty());
    if (inPlace)
        QVERIFY(writeFile(fixture.catalog.installDir() + u"/u1.bin"_s, content));

    QVERIFY2(fixture.restartAfterKill(), qPrintable(fixture.error()));
    QVERIFY2(fixture.agent->log().contains(u"removed the unfinished download"_s),
             qPrintable(fixture.agent->log()));
    QCOMPARE(fixture.catalog.installedFiles(), inPlace ? QStringList{u"u1.bin"_s} : QStringList());
    // Listed twice: an update in place is recorded once and then no longer offered.
    for (int listing = 0; listing < 2; ++listing)
        QCOMPARE(fixture.client->count(fixture.client->getUpdates(fixture.code())), inPlace ? 0 : 1);
    QCOMPARE(isRecorded(fixture, u"u1"_s), inPlace);
}

void TestAgentDownloads::partChangedAfterVerification_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("replaced by another file") << u"replace"_s;
    QTest::newRow("changed in place") << u"modify"_s;
    QTest::newRow("removed") << u"remove"_s;
}

void TestAgentDownloads::partChangedAfterVerification()
{
    QFETCH(QString, change);
    AgentFixture fixture;
    QByteArray content;
    const QString item = startWithFile(fixture, 256 * 1024, &content);
    QVERIFY2(!item.isEmpty(), qPrintable(fixture.error()));
    const auto events = fixture.events(item);
    QCOMPARE(fixture.client->execute(item).type(), QDBusMessage::ReplyMessage);
    QVERIFY(events->waitForComplete(DownloadTimeoutMs));
    QCOMPARE(events->completeCode(), int(Result::Success));

    const QString part = partFile(fixture.catalog);
    QByteArray forged = content;
    forged[0] = char(forged[0] ^ 1);
    if (change == u"replace"_s) {
        QVERIFY(writeFile(part + u".new"_s, forged));
        QVERIFY(QFile::remove(part) && QFile::rename(part + u".new"_s, part));
    } else if (change == u"modify"_s) {
        QFile file(part);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.write(forged.left(1)) == 1);
    } else {
        QVERIFY(QFile::remove(part));
    }

    const QDBusMessage reply = fixture.client->execute(item);
    QCOMPARE(reply.errorName(), QString::fromUtf16(Contract::Error::InstallFailed));
    QVERIFY2(fixture.agent->log().contains(u"not installing u1"_s), qPrintable(fixture.agent->log()));
    QVERIFY2(fixture.catalog.installedFiles().isEmpty(),
             qPrintable(fixture.catalog.installedFiles().join(u", "_s)));
    QVERIFY(!isRecorded(fixture, u"u1"_s));
    // Nothing verified is held any more: it can be downloaded again.
    QCOMPARE(fixture.client->prepareDownload(item), Contract::True);
}

void TestAgentDownloads::diskFull_data()
{
    QTest::addColumn<qint64>("firstSize");
    QTest::addColumn<qint64>("secondSize"); // 0: only one download
    QTest::newRow("larger than the free space") << qint64(1088 * 1024) << qint64(0);
    // Each fits alone. The first has barely begun, but its reservation
    // leaves no room; without it both would start and fill the disk.
    QTest::newRow("two that fit one at a time") << qint64(640 * 1024) << qint64(640 * 1024);
}

void TestAgentDownloads::diskFull()
{
    QFETCH(qint64, firstSize);
    QFETCH(qint64, secondSize);
    AgentFixture fixture;
    const SmallDisk disk(fixture.catalog.installDir(), u"1024k"_s);
    if (!disk.isMounted())
        QSKIP("a tmpfs cannot be mounted here (needs root)");
    QJsonArray updates;
    for (const qint64 size : {firstSize, secondSize}) {
        if (size == 0)
            continue;
        const QString name = u"u"_s + QString::number(updates.size() + 1);
        const QByteArray content = fixture.catalog.makePayload(name, size);
        updates.append(TestCatalog::update(name, name, content, fixture.catalog.payloadUrl(name)));
    }
    fixture.catalog.writeProduct(updates);
    QVERIFY2(fixture.start({u"--rate-limit"_s, u"256"_s}), qPrintable(fixture.error()));
    const QString collection = fixture.client->getUpdates(fixture.code());
    const QString last = fixture.client->item(collection, int(updates.size()));
    const auto lastEvents = fixture.events(last);
    std::unique_ptr<ItemEvents> firstEvents;
    if (updates.size() == 2) {
        const QString first = fixture.client->item(collection, 1);
        firstEvents = fixture.events(first);
        QCOMPARE(fixture.client->execute(first).type(), QDBusMessage::ReplyMessage);
        QTRY_VERIFY_WITH_TIMEOUT(!firstEvents->progress().isEmpty(), 5000);
    }
    QCOMPARE(fixture.client->prepareDownload(last), Contract::False);
    QCOMPARE(fixture.client->execute(last).type(), QDBusMessage::ReplyMessage);
    QVERIFY(lastEvents->waitForComplete(DownloadTimeoutMs));
    QCOMPARE(lastEvents->completeCode(), int(Result::LocalFileFailed));
    QVERIFY2(fixture.client->text(last).startsWith(u"The download could not be saved: "_s),
             qPrintable(fixture.client->text(last)));
    // The one that had room was never short of it.
    if (firstEvents) {
        QVERIFY(firstEvents->waitForComplete(DownloadTimeoutMs));
        QCOMPARE(firstEvents->completeCode(), int(Result::Success));
    }
    QCOMPARE(fixture.catalog.installedFiles().size(), firstEvents ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestAgentDownloads)
#include "tst_agent_downloads.moc"
