// SPDX-License-Identifier: GPL-3.0-or-later
// Downloads through the agent on a private bus: events, failures, cancel,
// install, parallel downloads, crashes, a tampered download and a full disk.

#include "AgentFixture.h"
#include "HttpTestServer.h"
#include "service/Contract.h"

#include <QCryptographicHash>
#include <QDBusError>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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

bool isRecorded(const AgentFixture &fixture, const QString &id)
{
    const QJsonObject state = QJsonDocument::fromJson(fileContent(fixture.statePath())).object();
    return state.value(fixture.code()).toObject().contains(id);
}

// Execute() on an item that can start, and the result code of its download.
Result downloaded(const AgentFixture &fixture, const QString &path)
{
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), path, fixture.connection());
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    if (!QDBusReply<void>(fixture.item(path).Execute()).isValid())
        return Result(-1);
    return resultCode(complete, DownloadTimeoutMs);
}

// A delta made by stock zstd that turns `from` into `to`.
bool makeDelta(const QString &from, const QString &to, const QString &out,
               const QStringList &options = {})
{
    return QProcess::execute(u"zstd"_s, QStringList{u"-qq"_s, u"-f"_s, u"--patch-from="_s + from, to,
                                                    u"-o"_s, out} + options)
           == 0;
}

QString hexSha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The feed's entry for the delta at path, made from a file holding `from`.
QJsonObject deltaEntry(const QString &path, const QByteArray &from)
{
    const QByteArray bytes = fileContent(path);
    return {{u"fromSha256"_s, hexSha256(from)},
            {u"url"_s, TestCatalog::fileUrl(path).toString()},
            {u"size"_s, double(bytes.size())},
            {u"sha256"_s, hexSha256(bytes)}};
}

// The name a download of `content` as u1.bin keeps its bytes under.
QString heldPartName(const QByteArray &content)
{
    return u".u1.bin."_s + hexSha256(content).left(16) + u".part"_s;
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
    void retries_data();
    void retries();
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
    void vendorProducts_data();
    void vendorProducts();
    void delta_data();
    void delta();

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
    return itemPath(fixture.updates().Item(1));
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
    const QString objectPath = startWithUpdate(fixture, TestCatalog::update(u"u1"_s, u"First"_s, content, url));
    QVERIFY2(!objectPath.isEmpty(), qPrintable(fixture.error()));
    Proxy::UpdateItem item = fixture.item(objectPath);
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), objectPath, fixture.connection());
    QVERIFY(events.isValid());
    QSignalSpy begin(&events, &Proxy::UpdateItemEvents::OnDownloadBegin);
    QSignalSpy progress(&events, &Proxy::UpdateItemEvents::OnProgressChanged);
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    // What had come before the begin, and the progress before the completion.
    qsizetype beforeBegin = -1;
    qsizetype progressBeforeComplete = -1;
    QObject::connect(&events, &Proxy::UpdateItemEvents::OnDownloadBegin,
                     [&] { beforeBegin = progress.count() + complete.count(); });
    QObject::connect(&events, &Proxy::UpdateItemEvents::OnDownloadComplete,
                     [&] { progressBeforeComplete = progress.count(); });

    QCOMPARE(answer(item.PrepareDownload(Contract::True)), Contract::True);
    QVERIFY(QDBusReply<void>(item.Execute()).isValid());
    QCOMPARE(resultCode(complete, DownloadTimeoutMs), Result::Success);
    QTest::qWait(100); // nothing may follow the completion

    QCOMPARE(begin.count(), 1);
    QCOMPARE(beforeBegin, 0);
    QCOMPARE(complete.count(), 1);
    QCOMPARE(progressBeforeComplete, progress.count());
    QVERIFY(!progress.isEmpty());
    for (qsizetype i = 1; i < progress.size(); ++i) {
        QVERIFY(progress[i][0].toInt() >= progress[i - 1][0].toInt());
        QVERIFY(progress[i][1].toInt() >= progress[i - 1][1].toInt());
    }
    QCOMPARE(progress.last()[0].toInt(), int(PayloadSize));
    QCOMPARE(progress.last()[1].toInt(), 100);
    QCOMPARE(item.GetText(1).value(), QString());
    // Verified but not installed: only the hidden download is there.
    const QStringList files = fixture.catalog.installedFiles();
    QCOMPARE(files.size(), 1);
    QVERIFY2(files.first().startsWith(u".u1.bin."_s) && files.first().endsWith(u".part"_s),
             qPrintable(files.first()));
    QCOMPARE(answer(item.PrepareDownload(Contract::True)), Contract::False);
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
    const QString objectPath =
        startWithUpdate(fixture, update, {u"--stall-timeout"_s, u"1.5"_s, u"--retries"_s, u"0"_s});
    QVERIFY2(!objectPath.isEmpty(), qPrintable(fixture.error()));
    Proxy::UpdateItem item = fixture.item(objectPath);
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), objectPath, fixture.connection());
    QSignalSpy progress(&events, &Proxy::UpdateItemEvents::OnProgressChanged);
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    qsizetype beforeBegin = -1;
    QObject::connect(&events, &Proxy::UpdateItemEvents::OnDownloadBegin,
                     [&] { beforeBegin = progress.count() + complete.count(); });
    QVERIFY(QDBusReply<void>(item.Execute()).isValid());

    QCOMPARE(int(resultCode(complete, DownloadTimeoutMs)), code);
    QCOMPARE(beforeBegin, 0);
    const QString text = item.GetText(1).value();
    QVERIFY2(text.startsWith(u"First 1.0: "_s + reason), qPrintable(text));
    // Only bytes that may still be right stay, for the next download.
    QStringList left = fixture.catalog.installedFiles();
    if (code != int(Result::ChecksumMismatch))
        left.removeIf([&](const QString &name) { return name.startsWith(heldPartName(content)); });
    QVERIFY2(left.isEmpty(), qPrintable(left.join(u", "_s)));
    // A failed download may be tried again.
    QCOMPARE(answer(item.PrepareDownload(Contract::True)), Contract::True);
}

void TestAgentDownloads::retries_data()
{
    QTest::addColumn<QList<Kind>>("first");
    QTest::addColumn<int>("kind");
    // "no range": the server ignores Range; "new etag": the first answers
    // had another ETag; "damaged": every answer serves a damaged payload.
    QTest::addColumn<QString>("twist");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("hits");
    QTest::addColumn<bool>("cut");    // the first answers break off halfway
    QTest::addColumn<bool>("ranged"); // the last request asks for the rest
    const int serve = int(Kind::Serve);
    const int ok = int(Result::Success);
    const QStringList none;
    QTest::newRow("503 with Retry-After: 1, then served")
        << QList<Kind>{Kind::Busy} << serve << QString() << none << ok << 2 << false << false;
    QTest::newRow("reset before any byte, then served")
        << QList<Kind>{Kind::Reset} << serve << QString() << none << ok << 2 << false << false;
    QTest::newRow("reset halfway, then resumed")
        << QList<Kind>{Kind::Reset} << serve << QString() << none << ok << 2 << true << true;
    QTest::newRow("a stall, then resumed")
        << QList<Kind>{Kind::Stall} << serve << QString() << QStringList{u"--stall-timeout"_s, u"1"_s}
        << ok << 2 << true << true;
    QTest::newRow("a 200 to the Range request")
        << QList<Kind>{Kind::CloseEarly} << serve << u"no range"_s << none << ok << 2 << true << true;
    QTest::newRow("a changed ETag: If-Range fails, the whole body")
        << QList<Kind>{Kind::CloseEarly} << serve << u"new etag"_s << none << ok << 2 << true << true;
    QTest::newRow("416, then from byte 0")
        << QList<Kind>{Kind::CloseEarly, Kind::RangeRefused} << serve << QString() << none << ok << 3
        << true << false;
    QTest::newRow("a wrong hash after a resume: once more from byte 0")
        << QList<Kind>{Kind::CloseEarly} << serve << u"damaged"_s << none
        << int(Result::ChecksumMismatch) << 3 << true << false;
    QTest::newRow("404 is final")
        << QList<Kind>{} << int(Kind::NotFound) << QString() << none << int(Result::SourceFailed) << 1
        << false << false;
    QTest::newRow("gives up after --retries")
        << QList<Kind>{} << int(Kind::Busy) << QString() << QStringList{u"--retries"_s, u"1"_s}
        << int(Result::SourceFailed) << 2 << false << false;
}

// Transient failures are tried again after the wait the server gives (or
// 1 s), from the bytes held when some were: Range with If-Range.
void TestAgentDownloads::retries()
{
    QFETCH(QList<Kind>, first);
    QFETCH(int, kind);
    QFETCH(QString, twist);
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(int, hits);
    QFETCH(bool, cut);
    QFETCH(bool, ranged);
    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"payload.bin"_s, PayloadSize);
    QByteArray served = content;
    if (twist == u"damaged"_s)
        served[PayloadSize - 10] = char(served[PayloadSize - 10] ^ 0x55);
    const QString path = u"/retry/"_s + QString::number(qHash(QString::fromLatin1(QTest::currentDataTag())));
    HttpTestServer::Route route{Kind(kind), served, {}, cut ? PayloadSize / 2 : 0, first,
                                twist == u"no range"_s, twist == u"new etag"_s ? "\"v0\"" : ""};
    m_server.setRoute(path, route);
    m_server.setEtag(path, "\"v1\"");
    const QString objectPath = startWithUpdate(
        fixture, TestCatalog::update(u"u1"_s, u"First"_s, content, m_server.url(path)), arguments);
    QVERIFY2(!objectPath.isEmpty(), qPrintable(fixture.error()));
    Proxy::UpdateItem item = fixture.item(objectPath);
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), objectPath, fixture.connection());
    QSignalSpy progress(&events, &Proxy::UpdateItemEvents::OnProgressChanged);
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QVERIFY(QDBusReply<void>(item.Execute()).isValid());
    QVERIFY2(int(resultCode(complete, DownloadTimeoutMs)) == code,
             qPrintable(item.GetText(1).value()));
    QCOMPARE(m_server.hits(path), hits);
    const bool waited = std::any_of(progress.cbegin(), progress.cend(), [](const QList<QVariant> &event) {
        return event.at(2).toString() == u"retrying in 1 s"_s && event.at(3).toString().isEmpty();
    });
    QCOMPARE(waited, hits > 1);
    const QByteArray request = m_server.lastRequest(path);
    QCOMPARE(request.contains("Range: bytes="), ranged);
    QCOMPARE(request.contains("If-Range: \"v"), ranged);
    if (code == int(Result::Success))
        QCOMPARE(progress.last().at(0).toInt(), int(PayloadSize));
}

void TestAgentDownloads::cancelMidDownload_data()
{
    QTest::addColumn<bool>("overHttp");
    QTest::addColumn<bool>("waiting"); // cancelled while waiting to try again
    QTest::addColumn<bool>("viaDelta"); // a delta against a file in place, as large as the payload
    QTest::newRow("file") << false << false << false;
    QTest::newRow("http") << true << false << false;
    QTest::newRow("http, waiting to try again") << true << true << false;
    QTest::newRow("a delta") << false << false << true;
}

void TestAgentDownloads::cancelMidDownload()
{
    QFETCH(bool, overHttp);
    QFETCH(bool, waiting);
    QFETCH(bool, viaDelta);
    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"payload.bin"_s, 2 * 1024 * 1024);
    const QString route = waiting ? u"/cancel/waiting"_s : u"/cancel"_s;
    m_server.setRoute(route, {waiting ? Kind::Busy : Kind::Serve, content, {}, 0});
    const QUrl url = overHttp ? m_server.url(route)
                              : fixture.catalog.payloadUrl(u"payload.bin"_s);
    QJsonObject update = TestCatalog::update(u"u1"_s, u"First"_s, content, url);
    const QStringList kept = viaDelta ? QStringList{u"u1.bin"_s} : QStringList();
    if (viaDelta) {
        const QByteArray old = fixture.catalog.makePayload(u"old.bin"_s, 4096);
        QVERIFY(QDir().mkpath(fixture.catalog.installDir()));
        QVERIFY(writeFile(fixture.catalog.installDir() + u"/u1.bin"_s, old));
        const QString delta = fixture.catalog.payloadDir() + u"/u1.zst"_s;
        QVERIFY(makeDelta(fixture.catalog.payloadDir() + u"/old.bin"_s,
                          fixture.catalog.payloadDir() + u"/payload.bin"_s, delta));
        update[u"deltas"_s] = QJsonArray{deltaEntry(delta, old)};
    }
    const QString path = startWithUpdate(fixture, update, {u"--rate-limit"_s, u"256"_s});
    QVERIFY2(!path.isEmpty(), qPrintable(fixture.error()));
    Proxy::UpdateItem item = fixture.item(path);
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), path, fixture.connection());
    QSignalSpy begin(&events, &Proxy::UpdateItemEvents::OnDownloadBegin);
    QSignalSpy progress(&events, &Proxy::UpdateItemEvents::OnProgressChanged);
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);

    QVERIFY(QDBusReply<void>(item.Execute()).isValid());
    if (waiting) {
        QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty()
                                     && progress.last().at(2).toString() == u"retrying in 1 s"_s,
                                 DownloadTimeoutMs);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(mostBytes(progress) >= 64 * 1024, DownloadTimeoutMs);
    }
    QVERIFY(complete.isEmpty());
    QVERIFY(!partFile(fixture.catalog).isEmpty());

    QVERIFY(QDBusReply<void>(item.Cancel()).isValid());
    QCOMPARE(resultCode(complete, 5000), Result::Cancelled);
    if (waiting) {
        QTest::qWait(1500); // past the wait: no other try
        QCOMPARE(m_server.hits(route), 1);
    }
    QCOMPARE(item.GetText(1).value(), u"Download cancelled."_s);
    QVERIFY(mostBytes(progress) < content.size());
    QCOMPARE(fixture.catalog.installedFiles(), kept);
    QCOMPARE(fixture.agent->log().contains(u"u1 from a delta of"_s), viaDelta);

    // Cancelling what is not downloading does nothing.
    const qsizetype seen = begin.count() + progress.count() + complete.count();
    QVERIFY(QDBusReply<void>(item.Cancel()).isValid());
    QTest::qWait(300);
    QCOMPARE(begin.count() + progress.count() + complete.count(), seen);
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
    Proxy::UpdateCollection collection = fixture.updates();
    QCOMPARE(answer(collection.Count()), 2);
    const QString path = itemPath(collection.Item(1));
    Proxy::UpdateItem item = fixture.item(path);
    QCOMPARE(downloaded(fixture, path), Result::Success);
    QVERIFY(!QFile::exists(fixture.catalog.installDir() + u"/u1.bin"_s));

    QVERIFY(QDBusReply<void>(item.Execute()).isValid());
    QCOMPARE(fileContent(fixture.catalog.installDir() + u"/u1.bin"_s), first);
    QCOMPARE(fixture.catalog.installedFiles(), QStringList{u"u1.bin"_s});
    const QJsonObject state = QJsonDocument::fromJson(fileContent(fixture.statePath())).object();
    QCOMPARE(state.value(fixture.code()).toObject().value(u"u1"_s).toObject().value(u"version"_s),
             u"1.0"_s);

    // No longer offered, and the item refuses a second install.
    Proxy::UpdateCollection after = fixture.updates();
    QCOMPARE(answer(after.Count()), 1);
    QCOMPARE(fixture.item(itemPath(after.Item(1))).GetName(0).value(), u"Second"_s);
    const QDBusReply<void> again = item.Execute();
    QCOMPARE(again.error().name(), QString::fromUtf16(Contract::Error::AlreadyInstalled));
    QCOMPARE(answer(item.PrepareDownload(Contract::True)), Contract::False);
    QVERIFY(QDBusReply<void>(item.Cancel()).isValid());
    QCOMPARE(fixture.catalog.installedFiles(), QStringList{u"u1.bin"_s});
}

void TestAgentDownloads::callsOutOfState()
{
    AgentFixture fixture;
    QByteArray content;
    const QString path = startWithFile(fixture, 1024 * 1024, &content, {u"--rate-limit"_s, u"256"_s});
    QVERIFY2(!path.isEmpty(), qPrintable(fixture.error()));
    Proxy::UpdateItem item = fixture.item(path);
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), path, fixture.connection());
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QVERIFY(QDBusReply<void>(item.Execute()).isValid());

    const QDBusReply<void> twice = item.Execute();
    QCOMPARE(twice.error().name(), QString::fromUtf16(Contract::Error::InProgress));
    QVERIFY2(twice.error().message().contains(u"\"First\""_s), qPrintable(twice.error().message()));
    QCOMPARE(answer(item.PrepareDownload(Contract::True)), Contract::False);

    // The same update reached through a second collection is taken.
    const QString otherPath = itemPath(fixture.updates().Item(1));
    QVERIFY(otherPath != path);
    Proxy::UpdateItem other = fixture.item(otherPath);
    QCOMPARE(answer(other.PrepareDownload(Contract::True)), Contract::False);
    QCOMPARE(QDBusReply<void>(other.Execute()).error().name(),
             QString::fromUtf16(Contract::Error::Claimed));

    QVERIFY(QDBusReply<void>(item.Cancel()).isValid());
    QVERIFY(!complete.isEmpty() || complete.wait(5000));
    QCOMPARE(answer(other.PrepareDownload(Contract::True)), Contract::True);
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
    Proxy::UpdateCollection collection = fixture.updates();
    const QString a = itemPath(collection.Item(1));
    const QString b = itemPath(collection.Item(2));
    Proxy::UpdateItemEvents eventsA(fixture.agent->uniqueName(), a, fixture.connection());
    Proxy::UpdateItemEvents eventsB(fixture.agent->uniqueName(), b, fixture.connection());
    QSignalSpy progressA(&eventsA, &Proxy::UpdateItemEvents::OnProgressChanged);
    QSignalSpy progressB(&eventsB, &Proxy::UpdateItemEvents::OnProgressChanged);
    QSignalSpy completeA(&eventsA, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QSignalSpy completeB(&eventsB, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(QDBusReply<void>(fixture.item(a).Execute()).isValid());
    QVERIFY(QDBusReply<void>(fixture.item(b).Execute()).isValid());

    // Both ran at the same time: once, each had moved and neither was done.
    QTRY_VERIFY_WITH_TIMEOUT(mostBytes(progressA) > 0 && mostBytes(progressB) > 0, DownloadTimeoutMs);
    QVERIFY(mostBytes(progressA) < first.size() && mostBytes(progressB) < second.size());
    QVERIFY(completeA.isEmpty() && completeB.isEmpty());
    QCOMPARE(resultCode(completeA, DownloadTimeoutMs), Result::Success);
    QCOMPARE(resultCode(completeB, DownloadTimeoutMs), Result::Success);
    // At 512 KB/s each, sharing a limit would have taken twice as long.
    QVERIFY2(clock.elapsed() < 2800, qPrintable(QString::number(clock.elapsed())));
}

void TestAgentDownloads::progressReports()
{
    AgentFixture fixture;
    QByteArray content;
    const QString path = startWithFile(fixture, 1536 * 1024, &content, {u"--rate-limit"_s, u"512"_s});
    QVERIFY2(!path.isEmpty(), qPrintable(fixture.error()));
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), path, fixture.connection());
    QSignalSpy begin(&events, &Proxy::UpdateItemEvents::OnDownloadBegin);
    QSignalSpy progress(&events, &Proxy::UpdateItemEvents::OnProgressChanged);
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QVERIFY(QDBusReply<void>(fixture.item(path).Execute()).isValid());
    QVERIFY(!begin.isEmpty() || begin.wait(DownloadTimeoutMs));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(resultCode(complete, DownloadTimeoutMs), Result::Success);

    const qint64 seconds = clock.elapsed() / 1000 + 1;
    // Ten a second at most, plus the last one.
    QVERIFY2(progress.size() <= 10 * seconds + 1, qPrintable(QString::number(progress.size())));
    QVERIFY(progress.size() >= 10);
    QCOMPARE(progress.first()[2].toString(), u"Estimating..."_s);
    QCOMPARE(progress.first()[3].toString(), u"Estimating..."_s);

    static const QRegularExpression rateForm(u"^(\\d+) B/s$|^(\\d+(\\.\\d)?) (KB|MB|GB)/s$"_s);
    static const QRegularExpression timeForm(u"^\\d+:\\d\\d$"_s);
    double previous = 0;
    int known = 0;
    for (const QList<QVariant> &event : std::as_const(progress)) {
        const QString rateText = event[2].toString();
        const QString time = event[3].toString();
        if (rateText == u"Estimating..."_s) {
            QCOMPARE(known, 0); // once known, it stays known
            continue;
        }
        ++known;
        const QRegularExpressionMatch match = rateForm.match(rateText);
        QVERIFY2(match.hasMatch(), qPrintable(rateText));
        QVERIFY2(timeForm.match(time).hasMatch(), qPrintable(time));
        QCOMPARE(match.captured(4), u"KB"_s);
        const double rate = match.captured(2).toDouble();
        // Near the limit, and smooth from one report to the next.
        QVERIFY2(rate > 350 && rate < 700, qPrintable(rateText));
        if (previous > 0)
            QVERIFY2(qAbs(rate - previous) / previous < 0.2, qPrintable(rateText));
        previous = rate;
    }
    QVERIFY(known >= 5);
    QCOMPARE(progress.last()[3].toString(), u"0:00"_s);
}

void TestAgentDownloads::restartAfterKill_data()
{
    QTest::addColumn<bool>("verified");
    QTest::addColumn<bool>("inPlace"); // the rename happened, the record did not
    QTest::addColumn<bool>("overHttp");
    QTest::newRow("mid-download") << false << false << false;
    QTest::newRow("between verification and install") << true << false << false;
    QTest::newRow("between the rename and the record") << true << true << false;
    QTest::newRow("at 60 % over http: the next Execute asks for the rest") << false << false << true;
}

void TestAgentDownloads::restartAfterKill()
{
    QFETCH(bool, verified);
    QFETCH(bool, inPlace);
    QFETCH(bool, overHttp);
    AgentFixture fixture;
    QByteArray content;
    const QStringList arguments{u"--rate-limit"_s, verified ? u"0"_s : u"256"_s};
    const QString route = u"/killed"_s;
    QString path;
    if (overHttp) {
        content = fixture.catalog.makePayload(u"payload.bin"_s, 1024 * 1024);
        m_server.setRoute(route, {Kind::Serve, content, {}, 0});
        m_server.setEtag(route, "\"k1\"");
        path = startWithUpdate(fixture, TestCatalog::update(u"u1"_s, u"First"_s, content,
                                                            m_server.url(route)), arguments);
    } else {
        path = startWithFile(fixture, 1024 * 1024, &content, arguments);
    }
    QVERIFY2(!path.isEmpty(), qPrintable(fixture.error()));
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), path, fixture.connection());
    QSignalSpy progress(&events, &Proxy::UpdateItemEvents::OnProgressChanged);
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QVERIFY(QDBusReply<void>(fixture.item(path).Execute()).isValid());
    if (verified)
        QCOMPARE(resultCode(complete, DownloadTimeoutMs), Result::Success);
    else
        QTRY_VERIFY_WITH_TIMEOUT(mostBytes(progress) >= (overHttp ? 600 : 64) * 1024, DownloadTimeoutMs);
    QVERIFY(!partFile(fixture.catalog).isEmpty());
    if (inPlace)
        QVERIFY(writeFile(fixture.catalog.installDir() + u"/u1.bin"_s, content));

    QVERIFY2(fixture.restartAfterKill(), qPrintable(fixture.error()));
    // The bytes of an update still to come stay for its next download.
    const QString held = heldPartName(content);
    // Found in place but not recorded: it goes once the update is recorded.
    QStringList expected = inPlace ? QStringList{held, u"u1.bin"_s} : QStringList{held};
    if (overHttp)
        expected.append(held + u".json"_s);
    QCOMPARE(fixture.catalog.installedFiles(), expected);
    if (overHttp) {
        const QString again = itemPath(fixture.updates().Item(1));
        Proxy::UpdateItemEvents resumed(fixture.agent->uniqueName(), again, fixture.connection());
        QSignalSpy done(&resumed, &Proxy::UpdateItemEvents::OnDownloadComplete);
        QSignalSpy moved(&resumed, &Proxy::UpdateItemEvents::OnProgressChanged);
        const qint64 heldBytes = QFileInfo(fixture.catalog.installDir() + u'/' + held).size();
        QVERIFY(heldBytes >= 600 * 1024);
        QVERIFY(QDBusReply<void>(fixture.item(again).Execute()).isValid());
        QCOMPARE(resultCode(done, DownloadTimeoutMs), Result::Success);
        // Progress starts at the bytes held.
        QCOMPARE(moved.first().at(0).toInt(), int(heldBytes));
        const QByteArray request = m_server.lastRequest(route);
        QVERIFY2(request.contains(QByteArray("Range: bytes=" + QByteArray::number(heldBytes) + "-\r\nIf-Range: \"k1\"")),
                 request.constData());
        return;
    }
    // Listed twice: an update in place is recorded once and then no longer offered.
    for (int listing = 0; listing < 2; ++listing)
        QCOMPARE(answer(fixture.updates().Count()), inPlace ? 0 : 1);
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
    const QString path = startWithFile(fixture, 256 * 1024, &content);
    QVERIFY2(!path.isEmpty(), qPrintable(fixture.error()));
    Proxy::UpdateItem item = fixture.item(path);
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), path, fixture.connection());
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QVERIFY(QDBusReply<void>(item.Execute()).isValid());
    QCOMPARE(resultCode(complete, DownloadTimeoutMs), Result::Success);

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

    const QDBusReply<void> reply = item.Execute();
    QCOMPARE(reply.error().name(), QString::fromUtf16(Contract::Error::InstallFailed));
    QVERIFY2(fixture.agent->log().contains(u"not installing u1"_s), qPrintable(fixture.agent->log()));
    QVERIFY2(fixture.catalog.installedFiles().isEmpty(),
             qPrintable(fixture.catalog.installedFiles().join(u", "_s)));
    QVERIFY(!isRecorded(fixture, u"u1"_s));
    // Nothing verified is held any more: it can be downloaded again.
    QCOMPARE(answer(item.PrepareDownload(Contract::True)), Contract::True);
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
    const bool two = updates.size() == 2;
    Proxy::UpdateCollection collection = fixture.updates();
    const QString first = itemPath(collection.Item(1));
    const QString last = itemPath(collection.Item(int(updates.size())));
    Proxy::UpdateItemEvents firstEvents(fixture.agent->uniqueName(), first, fixture.connection());
    Proxy::UpdateItemEvents lastEvents(fixture.agent->uniqueName(), last, fixture.connection());
    QSignalSpy firstProgress(&firstEvents, &Proxy::UpdateItemEvents::OnProgressChanged);
    QSignalSpy firstComplete(&firstEvents, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QSignalSpy lastComplete(&lastEvents, &Proxy::UpdateItemEvents::OnDownloadComplete);
    if (two) {
        QVERIFY(QDBusReply<void>(fixture.item(first).Execute()).isValid());
        QTRY_VERIFY_WITH_TIMEOUT(!firstProgress.isEmpty(), 5000);
    }
    Proxy::UpdateItem lastItem = fixture.item(last);
    QCOMPARE(answer(lastItem.PrepareDownload(Contract::True)), Contract::False);
    QVERIFY(QDBusReply<void>(lastItem.Execute()).isValid());
    QCOMPARE(resultCode(lastComplete, DownloadTimeoutMs), Result::LocalFileFailed);
    const QString text = lastItem.GetText(1).value();
    QVERIFY2(text.startsWith(u"The download could not be saved: "_s), qPrintable(text));
    // The one that had room was never short of it.
    if (two)
        QCOMPARE(resultCode(firstComplete, DownloadTimeoutMs), Result::Success);
    QCOMPARE(fixture.catalog.installedFiles().size(), two ? 1 : 0);
}


// A vendor's product as a user's agent meets it: a key rotation step by step,
// the product file where a package or the user puts it, a per-user install
// folder, and a versioned file name replacing the one installed before.
void TestAgentDownloads::vendorProducts_data()
{
    QTest::addColumn<QString>("folder");      // below root(), for the product file; empty: --products
    QTest::addColumn<QString>("installDir");  // the product file's; empty: the catalog's
    QTest::addColumn<QString>("installedIn"); // below root(); empty: the catalog's
    QTest::addColumn<int>("listed");
    QTest::addColumn<int>("signer");
    QTest::addColumn<QString>("previous");    // core-1.0.bin recorded before: "", "intact", "changed"
    QTest::addColumn<bool>("accepted");

    const int old = TestCatalog::OldKey;
    const int both = TestCatalog::OldKey | TestCatalog::NewKey;
    const int fresh = TestCatalog::NewKey;
    QTest::newRow("rotation 1: the old key") << "" << "" << "" << old << old << "" << true;
    QTest::newRow("rotation 2: both listed, old signs") << "" << "" << "" << both << old << "" << true;
    QTest::newRow("rotation 3: both listed, new signs") << "" << "" << "" << both << fresh << "" << true;
    QTest::newRow("rotation 4: old dropped") << "" << "" << "" << fresh << fresh << "" << true;
    QTest::newRow("new key before its product file") << "" << "" << "" << old << fresh << "" << false;
    QTest::newRow("dropped key after a leak") << "" << "" << "" << fresh << old << "" << false;
    QTest::newRow("package's file in XDG_DATA_DIRS") << "data-dirs/b/palvane/products" << ""
                                                     << "" << old << old << "" << true;
    QTest::newRow("user's file in XDG_DATA_HOME") << "data-home/palvane/products" << "" << ""
                                                  << old << old << "" << true;
    QTest::newRow("~/ install folder") << "" << "~/apps/test" << "home/apps/test" << old << old
                                       << "" << true;
    QTest::newRow("$XDG_DATA_HOME/ install folder")
        << "" << "$XDG_DATA_HOME/test" << "data-home/test" << old << old << "" << true;
    QTest::newRow("new file name, previous intact") << "" << "" << "" << old << old << "intact" << true;
    QTest::newRow("new file name, previous changed") << "" << "" << "" << old << old << "changed"
                                                     << true;
}

void TestAgentDownloads::vendorProducts()
{
    QFETCH(QString, folder);
    QFETCH(QString, installDir);
    QFETCH(QString, installedIn);
    QFETCH(int, listed);
    QFETCH(int, signer);
    QFETCH(QString, previous);
    QFETCH(bool, accepted);

    AgentFixture fixture;
    TestCatalog &catalog = fixture.catalog;
    fixture.environment.insert(u"HOME"_s, fixture.root() + u"/home"_s);
    catalog.listedKeys = listed;
    catalog.signingKey = TestCatalog::Key(signer);
    catalog.installDirField = installDir;
    const QString target = installedIn.isEmpty() ? catalog.installDir()
                                                 : fixture.root() % u'/' % installedIn;
    const QByteArray content = catalog.makePayload(u"core-1.1.bin"_s, 64 * 1024);
    QJsonObject update = TestCatalog::update(u"core"_s, u"Core"_s, content,
                                             catalog.payloadUrl(u"core-1.1.bin"_s));
    update.insert(u"version"_s, u"1.1"_s);
    update.insert(u"file"_s, u"core-1.1.bin"_s);
    catalog.writeProduct({update});
    if (!folder.isEmpty()) {
        // A user's copy of the same code, read later, must not take over.
        const QString productFile = catalog.productsDir() + u"/product.json"_s;
        QJsonObject decoy = QJsonDocument::fromJson(fileContent(productFile)).object();
        decoy.insert(u"installDir"_s, QString(fixture.root() + u"/decoy"_s));
        QVERIFY(QDir().mkpath(fixture.root() % u'/' % folder));
        QVERIFY(QDir().mkpath(fixture.xdgHome(u"XDG_CONFIG_HOME"_s) + u"/palvane/products"_s));
        QVERIFY(writeFile(fixture.xdgHome(u"XDG_CONFIG_HOME"_s) + u"/palvane/products/decoy.json"_s,
                          QJsonDocument(decoy).toJson()));
        QVERIFY(QFile::rename(productFile, fixture.root() % u'/' % folder % u"/product.json"_s));
        fixture.defaultProducts = true;
    }
    const QString previousFile = target + u"/core-1.0.bin"_s;
    if (!previous.isEmpty()) {
        const QByteArray old = catalog.makePayload(u"core-1.0.bin"_s, 1000);
        const QJsonObject entry{
            {u"version"_s, u"1.0"_s},
            {u"file"_s, previousFile},
            {u"size"_s, 1000},
            {u"sha256"_s, QString::fromLatin1(QCryptographicHash::hash(old, QCryptographicHash::Sha256).toHex())}};
        QVERIFY(QDir().mkpath(target) && QDir().mkpath(fixture.root() + u"/state"_s));
        QVERIFY(writeFile(previousFile, previous == u"intact"_s ? old : QByteArray(1000, 'x')));
        QVERIFY(writeFile(fixture.statePath(),
                          QJsonDocument(QJsonObject{{fixture.code(), QJsonObject{{u"core"_s, entry}}}})
                              .toJson()));
    }
    QVERIFY2(fixture.start(), qPrintable(fixture.error()));
    QCOMPARE(answer(fixture.agentInterface->IsConnected(fixture.code())),
             accepted ? Contract::True : Contract::False);
    Proxy::UpdateCollection collection = fixture.updates();
    QCOMPARE(answer(collection.Count()), accepted ? 1 : 0);
    if (!accepted)
        return;

    const QString path = itemPath(collection.Item(1));
    QCOMPARE(downloaded(fixture, path), Result::Success);
    QVERIFY(QDBusReply<void>(fixture.item(path).Execute()).isValid());
    QCOMPARE(fileContent(target + u"/core-1.1.bin"_s), content);
    if (!previous.isEmpty()) {
        const bool kept = previous == u"changed"_s;
        QTRY_VERIFY_WITH_TIMEOUT(fixture.agent->log().contains(kept ? u"kept the previous file of core"_s
                                                                    : u"- replaced by core"_s),
                                 DownloadTimeoutMs);
        QCOMPARE(QFile::exists(previousFile), kept);
    }
}

void TestAgentDownloads::delta_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("viaDelta"); // then the whole payload is not even served

    QTest::newRow("the right one of two") << u"right"_s << true;
    QTest::newRow("made by palvane-feed") << u"tool"_s << true;
    QTest::newRow("over http") << u"http"_s << true;
    QTest::newRow("over http, resumed after a reset") << u"http reset"_s << true;
    QTest::newRow("from no file in place") << u"unmatched"_s << false;
    QTest::newRow("corrupt") << u"corrupt"_s << false;
    QTest::newRow("of the wrong size") << u"size"_s << false;
    QTest::newRow("decoding to other bytes") << u"other"_s << false;
    QTest::newRow("decoding past the size, which it does not declare") << u"longer"_s << false;
}

void TestAgentDownloads::delta()
{
    QFETCH(QString, kind);
    QFETCH(bool, viaDelta);

    AgentFixture fixture;
    TestCatalog &catalog = fixture.catalog;
    // The new version differs from the old in runs of 4 KiB here and there.
    const QByteArray old = catalog.makePayload(u"old.bin"_s, PayloadSize);
    QByteArray payload = old;
    for (qint64 at = 100000; at + 4096 < payload.size(); at += 300000)
        payload.replace(at, 4096, catalog.makePayload(u"run"_s, 4096));
    QVERIFY(QDir().mkpath(catalog.installDir()));
    QVERIFY(writeFile(catalog.installDir() + u"/u1.bin"_s, old));
    const QString payloadPath = catalog.payloadDir() + u"/new.bin"_s;
    QVERIFY(writeFile(payloadPath, payload));
    const QString deltaPath = catalog.payloadDir() + u"/new.bin.zst"_s;
    // A delta from some other file comes first: the one in place must choose.
    const QByteArray stranger = catalog.makePayload(u"stranger.bin"_s, 4096);
    QVERIFY(makeDelta(catalog.payloadDir() + u"/stranger.bin"_s, payloadPath,
                      catalog.payloadDir() + u"/stranger.zst"_s));
    QJsonArray deltas{deltaEntry(catalog.payloadDir() + u"/stranger.zst"_s, stranger)};
    QJsonObject mine;
    if (kind == u"tool"_s) {
        const QString scratch = fixture.root() + u"/scratch.json"_s;
        const QString tool = QStringLiteral(PALVANE_FEED_BINARY);
        QCOMPARE(QProcess::execute(tool, {u"add"_s, scratch, payloadPath, u"--product"_s, fixture.code(),
                                          u"--id"_s, u"u1"_s, u"--name"_s, u"First"_s, u"--version"_s, u"1.0"_s}),
                 0);
        const QString installed = catalog.installDir() + u"/u1.bin"_s;
        QCOMPARE(QProcess::execute(tool, {u"delta"_s, scratch, u"--id"_s, u"u1"_s, installed,
                                          u"--out"_s, deltaPath, u"--payload"_s, payloadPath}),
                 0);
        // Stock zstd reads it back as the payload.
        QCOMPARE(QProcess::execute(u"zstd"_s, {u"-qq"_s, u"-f"_s, u"-d"_s, u"--long=31"_s,
                                               u"--patch-from="_s + installed, deltaPath, u"-o"_s,
                                               fixture.root() + u"/check.bin"_s}),
                 0);
        QCOMPARE(fileContent(fixture.root() + u"/check.bin"_s), payload);
        mine = QJsonDocument::fromJson(fileContent(scratch))[u"updates"_s][0][u"deltas"_s][0].toObject();
        QCOMPARE(mine.value(u"sha256"_s), deltaEntry(deltaPath, old).value(u"sha256"_s));
        mine[u"url"_s] = TestCatalog::fileUrl(deltaPath).toString();
    } else if (kind == u"other"_s || kind == u"longer"_s) {
        QByteArray other = payload;
        if (kind == u"other"_s)
            other[0] = char(other[0] ^ 1);
        else
            other += QByteArray(100000, 'z');
        QVERIFY(writeFile(fixture.root() + u"/other.bin"_s, other));
        QVERIFY(makeDelta(catalog.installDir() + u"/u1.bin"_s, fixture.root() + u"/other.bin"_s, deltaPath,
                          kind == u"longer"_s ? QStringList{u"--no-content-size"_s} : QStringList{}));
        mine = deltaEntry(deltaPath, old);
    } else {
        QVERIFY(makeDelta(catalog.installDir() + u"/u1.bin"_s, payloadPath, deltaPath));
        if (kind == u"corrupt"_s) {
            QByteArray bytes = fileContent(deltaPath);
            bytes.replace(bytes.size() / 2, 64, QByteArray(64, '\xff'));
            QVERIFY(writeFile(deltaPath, bytes));
        }
        mine = deltaEntry(deltaPath, kind == u"unmatched"_s ? stranger + "x" : old);
        if (kind == u"size"_s)
            mine[u"size"_s] = mine.value(u"size"_s).toDouble() - 1;
        if (kind.startsWith(u"http"_s)) {
            const QByteArray bytes = fileContent(deltaPath);
            const QString route = u"/delta/"_s + QString(kind).replace(u' ', u'-');
            const bool reset = kind.endsWith(u"reset"_s);
            m_server.setRoute(route, {Kind::Serve, bytes, {}, bytes.size() / 2,
                                      reset ? QList<Kind>{Kind::Reset} : QList<Kind>{}});
            m_server.setEtag(route, "\"d1\"");
            mine[u"url"_s] = m_server.url(route).toString();
        }
    }
    deltas.append(mine);

    QJsonObject update = TestCatalog::update(u"u1"_s, u"First"_s, payload,
                                             TestCatalog::fileUrl(viaDelta ? fixture.root() + u"/gone.bin"_s
                                                                           : payloadPath));
    update[u"deltas"_s] = deltas;
    const QString path = startWithUpdate(fixture, update);
    QVERIFY(!path.isEmpty());
    Proxy::UpdateItem item = fixture.item(path);
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), path, fixture.connection());
    QSignalSpy progress(&events, &Proxy::UpdateItemEvents::OnProgressChanged);
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    QVERIFY(QDBusReply<void>(item.Execute()).isValid());
    QCOMPARE(resultCode(complete, DownloadTimeoutMs), Result::Success);
    QCOMPARE(complete.size(), 1);
    // Progress counts the delta's bytes when it is one that arrives.
    QCOMPARE(mostBytes(progress), viaDelta ? mine.value(u"size"_s).toInt() : int(payload.size()));
    QVERIFY(QDBusReply<void>(item.Execute()).isValid());
    QCOMPARE(fileContent(catalog.installDir() + u"/u1.bin"_s), payload);
    QCOMPARE(catalog.installedFiles(), QStringList{u"u1.bin"_s});
    // One warning for a delta that failed; none when none applied.
    QCOMPARE(fixture.agent->log().count(u"- downloading the whole payload"_s),
             viaDelta || kind == u"unmatched"_s ? 0 : 1);
    if (kind == u"http reset"_s)
        QVERIFY(m_server.lastRequest(u"/delta/http-reset"_s).contains("Range: bytes="));
}

QTEST_GUILESS_MAIN(TestAgentDownloads)
#include "tst_agent_downloads.moc"
