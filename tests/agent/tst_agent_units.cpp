// SPDX-License-Identifier: GPL-3.0-or-later
// The agent's pieces without a bus: display texts, smoothing, the rate
// limit, catalog checks, keys, the feed cache, the install record, the
// settings and log lines.

#include "HttpTestServer.h"
#include "TestCatalog.h"
#include "base/AgentLog.h"
#include "AgentOptions.h"
#include "install/ArchiveReader.h"
#include "install/ArchiveTree.h"
#include "install/InstallFolder.h"
#include "install/InstallRecord.h"
#include "base/StateFile.h"
#include "feeds/Feed.h"
#include "feeds/FeedFetch.h"
#include "feeds/FeedKeeper.h"
#include "feeds/FeedMarks.h"
#include "feeds/ProductFile.h"
#include "base/Sha256.h"
#include "download/PartFile.h"
#include "download/ProgressMeter.h"
#include "download/RateLimiter.h"
#include "net/Network.h"
#include "TestArchive.h"

#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class TestAgentUnits : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rateText_data();
    void rateText();
    void durationText_data();
    void durationText();
    void meterUnknownUntilWarmedUp();
    void meterSmoothsABurst();
    void meterClampsBytesAndPercent();
    void rateLimiterHoldsTheRate_data();
    void rateLimiterHoldsTheRate();
    void feedFile_data();
    void feedFile();
    void relativeAddresses();
    void productFile_data();
    void productFile();
    void unusablePoint_data();
    void unusablePoint();
    void hostileHttpServers_data();
    void hostileHttpServers();
    void tlsNamesFromSubjectAltNames_data();
    void tlsNamesFromSubjectAltNames();
    void feedCacheIsNotWrittenThroughLinks_data();
    void feedCacheIsNotWrittenThroughLinks();
    void productCode_data();
    void productCode();
    void installRecord();
    void unreadableStateFileIsMovedAside_data();
    void unreadableStateFileIsMovedAside();
    void stateFileIsNotWrittenThroughASymlink();
    void stateFileSizeBounds();
    void partFileRefusesASecondCreate();
    void installFolderReplacesAtomically();
    void partFilesSwept_data();
    void partFilesSwept();
    void archiveRefusals_data();
    void archiveRefusals();
    void archiveTree_data();
    void archiveTree();
    void settingsPrecedence_data();
    void settingsPrecedence();
    void exampleConfigHoldsTheDefaults();
    void logEscapesPeerText_data();
    void logEscapesPeerText();
    void logPriorityOnlyForTheJournal();
};

namespace {

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// Accepted when `error` is empty, else refused with `error` in the reason.
template <typename Parsed>
void expectParsed(const Parsed &result, const QString &error)
{
    if (error.isEmpty())
        QVERIFY2(result.value.has_value(), qPrintable(result.error));
    else
        QVERIFY2(!result.value.has_value() && result.error.contains(error), qPrintable(result.error));
}

// The process's peak resident set since the last resetPeakRss(), in KiB.
qint64 peakRssKiB()
{
    const QByteArray status = contentOf(u"/proc/self/status"_s);
    const qsizetype at = status.indexOf("VmHWM:");
    return at < 0 ? -1 : status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ').value(0).toLongLong();
}

bool resetPeakRss()
{
    return writeFile(u"/proc/self/clear_refs"_s, "5");
}

} // namespace

void TestAgentUnits::rateText_data()
{
    QTest::addColumn<double>("bytesPerSecond");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing") << 0.0 << u"0 B/s"_s;
    QTest::newRow("bytes") << 999.0 << u"999 B/s"_s;
    QTest::newRow("switches at 1000") << 1000.0 << u"1.0 KB/s"_s;
    QTest::newRow("one and a half KB") << 1536.0 << u"1.5 KB/s"_s;
    QTest::newRow("hundreds of KB") << 150.0 * 1024 << u"150 KB/s"_s;
    QTest::newRow("just under a MB") << 1023.0 * 1024 << u"1.0 MB/s"_s;
    QTest::newRow("megabytes") << 1.4 * 1024 * 1024 << u"1.4 MB/s"_s;
    QTest::newRow("gigabytes") << 2.5 * 1024 * 1024 * 1024 << u"2.5 GB/s"_s;
    QTest::newRow("negative is nothing") << -5.0 << u"0 B/s"_s;
}

void TestAgentUnits::rateText()
{
    QFETCH(double, bytesPerSecond);
    QFETCH(QString, text);
    QCOMPARE(ProgressMeter::formatRate(bytesPerSecond), text);
}

void TestAgentUnits::durationText_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("none") << qint64(0) << u"0:00"_s;
    QTest::newRow("seconds") << qint64(42) << u"0:42"_s;
    QTest::newRow("minutes") << qint64(61) << u"1:01"_s;
    QTest::newRow("an hour") << qint64(3600) << u"1:00:00"_s;
    QTest::newRow("hours") << qint64(3725) << u"1:02:05"_s;
    QTest::newRow("negative") << qint64(-3) << u"0:00"_s;
}

void TestAgentUnits::durationText()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(ProgressMeter::formatDuration(seconds), text);
}

void TestAgentUnits::meterUnknownUntilWarmedUp()
{
    ProgressMeter meter(1000000, 0);
    QCOMPARE(meter.rateText(), u"Estimating..."_s);
    QCOMPARE(meter.timeText(), u"Estimating..."_s);
    meter.sample(50000, 300);
    QVERIFY(!meter.rateKnown());
    meter.sample(100000, 1000);
    QVERIFY(meter.rateKnown());
    QCOMPARE(meter.rateText(), u"97.7 KB/s"_s); // 100 000 bytes in one second
    QCOMPARE(meter.timeText(), u"0:09"_s);
    QCOMPARE(meter.percent(), 10);
}

void TestAgentUnits::meterSmoothsABurst()
{
    // A steady 100 KB/s, then one window ten times as fast.
    ProgressMeter meter(100 * 1024 * 1024, 0);
    qint64 bytes = 0;
    qint64 now = 0;
    for (int i = 0; i < 40; ++i) {
        now += 250;
        bytes += 25 * 1024;
        meter.sample(bytes, now);
    }
    QVERIFY(qAbs(meter.rate() - 100 * 1024) < 1024);
    now += 250;
    bytes += 250 * 1024;
    meter.sample(bytes, now);
    QVERIFY2(meter.rate() < 200 * 1024, qPrintable(meter.rateText()));
    QVERIFY(meter.rate() > 100 * 1024);
    // Samples closer than the window do not move it at all.
    const double before = meter.rate();
    meter.sample(bytes + 1024 * 1024, now + 10);
    QCOMPARE(meter.rate(), before);
}

void TestAgentUnits::meterClampsBytesAndPercent()
{
    const qint64 big = qint64(5) * 1024 * 1024 * 1024;
    ProgressMeter meter(big, 0);
    meter.sample(big / 2, 1000);
    QCOMPARE(meter.bytesForEvent(), std::numeric_limits<qint32>::max());
    QCOMPARE(meter.percent(), 50);
    meter.finish(2000);
    QCOMPARE(meter.percent(), 100);
    QCOMPARE(meter.timeText(), u"0:00"_s);

    ProgressMeter empty(0, 0);
    QCOMPARE(empty.percent(), 0);
    empty.finish(10);
    QCOMPARE(empty.percent(), 100);
    QCOMPARE(empty.bytesForEvent(), 0);
}

void TestAgentUnits::rateLimiterHoldsTheRate_data()
{
    QTest::addColumn<qint64>("rate");
    QTest::addColumn<qint64>("total"); // what three readers share, the rate being each one's
    QTest::newRow("1 KB/s") << qint64(1024) << qint64(0);
    QTest::newRow("256 KB/s") << qint64(256 * 1024) << qint64(0);
    QTest::newRow("10 MB/s") << qint64(10 * 1024 * 1024) << qint64(0);
    QTest::newRow("three under a total of 256 KB/s") << qint64(0) << qint64(256 * 1024);
    QTest::newRow("three at 64 KB/s under 1 MB/s") << qint64(64 * 1024) << qint64(1024 * 1024);
}

void TestAgentUnits::rateLimiterHoldsTheRate()
{
    QFETCH(qint64, rate);
    QFETCH(qint64, total);
    // Readers that always want more, woken when the limiter says so; the
    // total keeps its own clock, so the test runs in real time when it has one.
    RateLimiter shared(total);
    QList<RateLimiter> limiters(total > 0 ? 3 : 1, RateLimiter(rate, 0, total > 0 ? &shared : nullptr));
    const qint64 runMs = total > 0 ? 1000 : 10000;
    QElapsedTimer clock;
    clock.start();
    qint64 now = 0;
    qint64 taken = 0;
    int wakeups = 0;
    while (now < runMs) {
        qint64 wait = 256 * 1024;
        for (RateLimiter &limiter : limiters) {
            const qint64 allowed = std::min<qint64>(limiter.allowance(now), 256 * 1024);
            limiter.consume(allowed);
            taken += allowed;
            wait = std::min(wait, limiter.waitMs(256 * 1024, now));
        }
        if (total > 0) {
            QTest::qSleep(int(std::max<qint64>(wait, 1)));
            now = clock.elapsed();
        } else {
            now += std::max<qint64>(wait, 1);
        }
        ++wakeups;
    }
    const double expected = double(total > 0 ? std::min(total, 3 * (rate ? rate : total)) : rate)
                            * double(runMs) / 1000.0;
    // Never over; in real time a late wake-up under load may lose some.
    QVERIFY2(double(taken) < expected * 1.05
                 && double(taken) > expected * (total > 0 ? 0.75 : 0.95),
             qPrintable(QString::number(taken) + u" of "_s + QString::number(expected)));
    QVERIFY2(wakeups >= runMs / 100, qPrintable(QString::number(wakeups))); // smooth: many small reads

    RateLimiter unlimited(0, 0);
    QVERIFY(!unlimited.limited());
    QCOMPARE(unlimited.waitMs(1 << 20, 0), 0);
    QVERIFY(unlimited.allowance(0) > (qint64(1) << 40));
}

void TestAgentUnits::feedFile_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("error");

    const QByteArray head = R"({"product": "{11111111-2222-3333-4444-555555555555}", "serial": 7,
                               "expires": "2099-01-08T00:00:00Z", "updates": [)";
    // `fields`, as `, "key": value`, take the place of the fields of those names.
    const auto update = [](const QByteArray &fields) -> QByteArray {
        const QList<QByteArray> standard{
            R"("id": "u1")", R"("name": "U")", R"("version": "1")", R"("size": 10)",
            R"("sha256": "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")",
            R"("url": "http://example.org/u1.bin")"};
        QByteArrayList kept;
        for (const QByteArray &field : standard) {
            if (!fields.contains(QByteArray(", " + field.left(field.indexOf(':') + 1))))
                kept.append(field);
        }
        return "{" + kept.join(", ") + fields + "}";
    };
    const auto top = [](const QByteArray &field) -> QByteArray {
        return R"({"product": "{11111111-2222-3333-4444-555555555555}", )" + field + R"(, "updates": []})";
    };
    QTest::newRow("good") << QByteArray(head + update("") + "]}") << QString();
    QTest::newRow("good, no updates") << QByteArray(head + "]}") << QString();
    QTest::newRow("truncated") << head << u"content: not valid JSON"_s;
    QTest::newRow("no updates list")
        << top(R"("serial": 1, "expires": "2099-01-01T00:00:00Z")")
               .replace(R"(, "updates": [])", "")
        << u"field \"updates\" must be a list"_s;
    QTest::newRow("serial 0") << top(R"("serial": 0, "expires": "2099-01-01T00:00:00Z")")
                              << u"field \"serial\" must be a whole number from 1"_s;
    QTest::newRow("serial 2^53 - 1")
        << top(R"("serial": 9007199254740991, "expires": "2099-01-01T00:00:00Z")") << QString();
    QTest::newRow("serial 2^53") << top(R"("serial": 9007199254740992, "expires": "2099-01-01T00:00:00Z")")
                                 << u"field \"serial\" must be a whole number"_s;
    QTest::newRow("expiry with an offset and fractions")
        << top(R"("serial": 1, "expires": "2099-01-01T00:00:00.123456+02:00")") << QString();
    QTest::newRow("expiry without a zone") << top(R"("serial": 1, "expires": "2099-01-01T00:00:00")")
                                           << u"field \"expires\" must be a time in RFC 3339 form"_s;
    QTest::newRow("expiry a date only") << top(R"("serial": 1, "expires": "2099-01-01")")
                                        << u"field \"expires\" must be a time in RFC 3339 form"_s;
    QTest::newRow("empty name") << QByteArray(head + update(R"(, "name": " ")") + "]}")
                                << u"field \"name\" must be a non-empty text"_s;
    QTest::newRow("negative size") << QByteArray(head + update(R"(, "size": -1)") + "]}")
                                   << u"updates[0]: field \"size\" must be a whole number"_s;
    QTest::newRow("fractional size") << QByteArray(head + update(R"(, "size": 1.5)") + "]}")
                                     << u"field \"size\" must be a whole number"_s;
    QTest::newRow("size 2^53 - 1") << QByteArray(head + update(R"(, "size": 9007199254740991)") + "]}")
                                   << QString();
    QTest::newRow("size 2^53 + 1") << QByteArray(head + update(R"(, "size": 9007199254740993)") + "]}")
                                   << u"field \"size\" must be a whole number"_s;
    QTest::newRow("short sha256") << QByteArray(head + update(R"(, "sha256": "abc")") + "]}")
                                  << u"field \"sha256\" must be 64 hexadecimal digits"_s;
    QTest::newRow("dot dot") << QByteArray(head + update(R"(, "file": "..")") + "]}")
                             << u"would leave the install folder"_s;
    QTest::newRow("sub folder") << QByteArray(head + update(R"(, "file": "a/b.bin")") + "]}")
                                << u"would leave the install folder"_s;
    QTest::newRow("address without a file name")
        << QByteArray(head + update(R"(, "url": "http://example.org/")") + "]}")
        << u"field \"file\" is needed"_s;
    QTest::newRow("ftp address") << QByteArray(head + update(R"(, "url": "ftp://example.org/u1.bin")") + "]}")
                                 << u"field \"url\" must be a file://, http:// or https:// address"_s;
    QTest::newRow("file address on another host")
        << QByteArray(head + update(R"(, "url": "file://otherhost/u1.bin")") + "]}")
        << u"field \"url\" names another host"_s;
    QTest::newRow("file address on localhost")
        << QByteArray(head + update(R"(, "url": "file://localhost/srv/u1.bin")") + "]}") << QString();
    QTest::newRow("twice the same id")
        << QByteArray(head + update("") + "," + update("") + "]}")
        << u"updates[1]: id \"u1\" appears twice"_s;
    QTest::newRow("template not a text")
        << QByteArray(head + update(R"(, "failureText": 5)") + "]}")
        << u"field \"failureText\" must be a text"_s;
    // Qt keeps the last of repeated keys: a second "serial" would win.
    QTest::newRow("serial twice")
        << top(R"("serial": 1, "expires": "2099-01-01T00:00:00Z", "serial": 9)")
        << u"content: field \"serial\" appears twice in one object"_s;
    QTest::newRow("serial twice, once escaped")
        << top(R"("serial": 1, "expires": "2099-01-01T00:00:00Z", "\u0073erial": 9)")
        << u"content: field \"serial\" appears twice in one object"_s;
    QTest::newRow("size twice in an update")
        << QByteArray(head + update(R"(, "size": 11, "size": 12)") + "]}")
        << u"content: field \"size\" appears twice in one object"_s;
    QTest::newRow("one key in two objects")
        << QByteArray(head + update(R"(, "extra": {"id": 1, "x": [{"id": 2}]})") + "]}") << QString();
    QTest::newRow("an escaped backslash is not an escape")
        << top(R"("serial": 1, "expires": "2099-01-01T00:00:00Z", "\\u0061": 1, "a": 2)")
        << QString();
    QTest::newRow("NUL in a name") << QByteArray(head + update(R"(, "name": "U\u0000 and more")") + "]}")
                                   << u"content: field \"name\" holds a NUL character (\\u0000)"_s;
    QTest::newRow("NUL in a list") << top(R"("serial": 1, "expires": "2099-01-01T00:00:00Z", "x": ["\u0000"])")
                                   << u"content: field \"x\" holds a NUL character"_s;
    QTest::newRow("NUL in a key") << top(R"("serial": 1, "expires": "2099-01-01T00:00:00Z", "x\u0000": 1)")
                                  << u"content: a key holds a NUL character"_s;
    const QByteArray archive = R"(, "install": "archive", "unpackedSize": 100)";
    QTest::newRow("archive") << QByteArray(head + update(archive) + "]}") << QString();
    QTest::newRow("unknown install kind")
        << QByteArray(head + update(R"(, "install": "script")") + "]}")
        << u"updates[0]: field \"install\" must be \"file\" or \"archive\""_s;
    QTest::newRow("archive without unpackedSize")
        << QByteArray(head + update(R"(, "install": "archive")") + "]}")
        << u"updates[0]: missing field \"unpackedSize\""_s;
    QTest::newRow("archive, negative unpackedSize")
        << QByteArray(head + update(R"(, "install": "archive", "unpackedSize": -1)") + "]}")
        << u"field \"unpackedSize\" must be a whole number"_s;
    QTest::newRow("archive version with a slash")
        << QByteArray(head + update(archive + R"(, "version": "2/1")") + "]}")
        << u"field \"version\" of an archive must be 1 to 64 of"_s;
    QTest::newRow("archive version of 65 characters")
        << QByteArray(head + update(archive + R"(, "version": ")" + QByteArray(65, '1') + "\"")
                      + "]}")
        << u"field \"version\" of an archive must be 1 to 64 of"_s;
    QTest::newRow("archive version of 64 characters")
        << QByteArray(head + update(archive + R"(, "version": "a.Z_0+~-)" + QByteArray(56, '1')
                                    + "\"")
                      + "]}")
        << QString();
    QTest::newRow("archive version that names an unpack")
        << QByteArray(head + update(archive + R"(, "version": "1.unpack-x")") + "]}")
        << u"must not hold \".unpack-\""_s;
    QTest::newRow("archive with deltas")
        << QByteArray(head + update(archive + R"(, "deltas": [])") + "]}")
        << u"an archive update carries no \"deltas\""_s;
    QTest::newRow("rollout of two decimals") << QByteArray(head + update(R"(, "rollout": 12.34)") + "]}")
                                             << QString();
    QTest::newRow("rollout 0") << QByteArray(head + update(R"(, "rollout": 0)") + "]}") << QString();
    const QString rolloutError = u"updates[0]: field \"rollout\" must be a number from 0 to 100 with at most two decimals"_s;
    for (const char *bad : {"100.01", "-1", "12.345", "\"50\"", "null"})
        QTest::addRow("rollout %s", bad) << QByteArray(head + update(", \"rollout\": " + QByteArray(bad)) + "]}")
                                        << rolloutError;
    // No ", " inside: update() would take its fields for the update's own.
    const QByteArray delta = R"({"fromSha256": "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb",)"
                             R"("url": "d.zst","size": 9,)"
                             R"("sha256": "cccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc"})";
    QTest::newRow("a delta") << QByteArray(head + update(", \"deltas\": [" + delta + "]") + "]}")
                             << QString();
    QByteArrayList nine(9, delta);
    for (int i = 0; i < 9; ++i)
        nine[i].replace("bbbbbbbb", QByteArray::number(10000000 + i));
    QTest::newRow("nine deltas") << QByteArray(head + update(", \"deltas\": [" + nine.join(',') + "]") + "]}")
                                 << u"updates[0]: field \"deltas\" must be a list of at most 8 deltas"_s;
    QTest::newRow("two deltas from one file")
        << QByteArray(head + update(", \"deltas\": [" + delta + "," + delta + "]") + "]}")
        << u"updates[0]: deltas[1]: field \"fromSha256\" repeats that of another delta"_s;
    QTest::newRow("a delta of no bytes")
        << QByteArray(head + update(", \"deltas\": [" + QByteArray(delta).replace("9", "0") + "]") + "]}")
        << u"updates[0]: deltas[0]: field \"size\" must be a whole number"_s;
    QTest::newRow("a delta without its source")
        << QByteArray(head + update(", \"deltas\": [{\"url\": \"d.zst\"}]") + "]}")
        << u"updates[0]: deltas[0]: missing field \"fromSha256\""_s;
    QTest::newRow("archive link leaving the folder")
        << QByteArray(head + update(archive + R"(, "file": "../app")") + "]}")
        << u"would leave the install folder"_s;
}

void TestAgentUnits::feedFile()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, error);
    const FeedFile::Result result = FeedFile::parse(json, QUrl(u"https://example.org/f.json"_s));
    expectParsed(result, error);
    for (const ProductUpdate &update : result.value ? result.value->updates : QList<ProductUpdate>()) {
        // An archive's link is named after its id, not its address.
        QCOMPARE(update.fileName, update.isArchive() ? update.id : u"u1.bin"_s);
        QCOMPARE(update.neededRoom(), update.size + (update.isArchive() ? 100 : 0));
    }
}

void TestAgentUnits::relativeAddresses()
{
    const QByteArray product = R"({"code": "{11111111-2222-3333-4444-555555555555}", "name": "P",
        "installDir": "../installed", "feed": ["feeds/updates.json", "https://mirror.example.org/u.json"],
        "keys": ["m3Jl1b1m3pYJ7hVxkYy0lGqZ8Kq9z8y1mC8rJ0m2Xx0="]})";
    const ProductFile::Result result = ProductFile::parse(product, u"/srv/demo/products/p.json"_s);
    QVERIFY2(result.value.has_value(), qPrintable(result.error));
    QCOMPARE(result.value->installDir, u"/srv/demo/installed"_s);
    QCOMPARE(result.value->feeds, QList<QUrl>({QUrl(u"file:///srv/demo/products/feeds/updates.json"_s),
                                               QUrl(u"https://mirror.example.org/u.json"_s)}));
    QCOMPARE(result.value->keys.size(), 1);

    const QByteArray feed = R"({"product": "{11111111-2222-3333-4444-555555555555}", "serial": 1,
        "expires": "2099-01-01T00:00:00Z", "updates": [{"id": "u1", "name": "U", "version": "2",
        "size": 10, "sha256": "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
        "url": "payloads/u1.bin"}]})";
    const FeedFile::Result parsed = FeedFile::parse(feed, QUrl(u"https://example.org/demo/updates.json"_s));
    QVERIFY2(parsed.value.has_value(), qPrintable(parsed.error));
    const ProductUpdate &update = parsed.value->updates.constFirst();
    QCOMPARE(update.url, QUrl(u"https://example.org/demo/payloads/u1.bin"_s));
    QCOMPARE(update.fileName, u"u1.bin"_s);
    QCOMPARE(update.failureTemplate, u"{reason}"_s);
    QCOMPARE(update.sha256, QByteArray(32, char(0xAA)));
}

void TestAgentUnits::productFile_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("error");
    const auto product = [](const QByteArray &more) -> QByteArray {
        return R"({"code": "{11111111-2222-3333-4444-555555555555}", "name": "P", "installDir": "i",
                   "feed": "f.json", "keys": ["m3Jl1b1m3pYJ7hVxkYy0lGqZ8Kq9z8y1mC8rJ0m2Xx0="])"
               + more + "}";
    };
    QTest::newRow("good") << product("") << QString();
    QTest::newRow("code twice")
        << product(R"(, "code": "{00000000-0000-0000-0000-000000000000}")")
        << u"field \"code\" appears twice in one object"_s;
    QTest::newRow("keys twice, once escaped")
        << product(R"(, "k\u0065ys": ["AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="])")
        << u"field \"keys\" appears twice in one object"_s;
    QTest::newRow("NUL in the name")
        << product("").replace(R"("name": "P")", R"("name": "P\u0000 Pro")")
        << u"field \"name\" holds a NUL character (\\u0000)"_s;
    QTest::newRow("second key unusable")
        << product("").replace(R"(="])", R"(=", "AQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="])")
        << u"field \"keys\": keys[1] is not a usable Ed25519 public key"_s;
    const QByteArray mirror = R"("https://m.example.org/f.json", )";
    const auto feeds = [&](const QByteArray &list) { return product("").replace(R"("f.json")", list); };
    QTest::newRow("eight feeds") << feeds(QByteArray("[" + mirror.repeated(7) + R"("f.json"])"))
                                 << QString();
    QTest::newRow("nine feeds") << feeds(QByteArray("[" + mirror.repeated(8) + R"("f.json"])"))
                                << u"field \"feed\" must be an address or a list of 1 to 8 addresses"_s;
    QTest::newRow("no feeds") << feeds("[]")
                              << u"field \"feed\" must be an address or a list of 1 to 8 addresses"_s;
    QTest::newRow("second feed not an address")
        << feeds(QByteArray("[" + mirror + R"("ftp://m.example.org/f.json"])"))
        << u"field \"feed\": feed[1] must be a file://, http:// or https:// address"_s;
    QTest::newRow("second feed not a text") << feeds(QByteArray("[" + mirror + "7]"))
                                            << u"field \"feed\": feed[1] must be a non-empty text"_s;
}

void TestAgentUnits::productFile()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, error);
    expectParsed(ProductFile::parse(json, u"/srv/products/p.json"_s), error);
}

// With a key of small order, R = identity and S = 0 verify any feed; other
// small-order R values do for some feeds. Every 32-byte form of the eight
// small-order points, and two forms whose y is 2^255 - 19 or more.
void TestAgentUnits::unusablePoint_data()
{
    QTest::addColumn<QByteArray>("point");
    QTest::addColumn<QString>("fault");
    const QString small = u"a point of small order"_s;
    const auto form = [](char first, char middle, char last) -> QByteArray {
        return QByteArray(1, first) + QByteArray(30, middle) + QByteArray(1, last);
    };
    QTest::newRow("all zero: order 4") << form(0, 0, 0) << small;
    QTest::newRow("order 4, other x") << form(0, 0, char(0x80)) << small;
    QTest::newRow("identity") << form(1, 0, 0) << small;
    QTest::newRow("identity, x = -0") << form(1, 0, char(0x80)) << small;
    QTest::newRow("order 2") << form(char(0xec), char(0xff), 0x7f) << small;
    QTest::newRow("order 2, x = -0") << form(char(0xec), char(0xff), char(0xff)) << small;
    QTest::newRow("y = p: order 4") << form(char(0xed), char(0xff), 0x7f) << small;
    QTest::newRow("y = p: order 4, other x") << form(char(0xed), char(0xff), char(0xff)) << small;
    QTest::newRow("y = p + 1: identity") << form(char(0xee), char(0xff), 0x7f) << small;
    QTest::newRow("y = p + 1: identity, x = -0") << form(char(0xee), char(0xff), char(0xff)) << small;
    const QByteArray eight = QByteArray::fromHex("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05");
    const QByteArray eightNegated = QByteArray::fromHex("c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a");
    QTest::newRow("order 8") << eight << small;
    QTest::newRow("order 8, other x") << QByteArray(eight).replace(31, 1, "\x85") << small;
    QTest::newRow("order 8, -y") << eightNegated << small;
    QTest::newRow("order 8, -y, other x") << QByteArray(eightNegated).replace(31, 1, "\xfa") << small;
    const QString big = u"not canonically encoded"_s;
    QTest::newRow("y = p + 2") << form(char(0xef), char(0xff), 0x7f) << big;
    QTest::newRow("y = 2^255 - 1") << form(char(0xff), char(0xff), char(0xff)) << big;
}

void TestAgentUnits::unusablePoint()
{
    QFETCH(QByteArray, point);
    QFETCH(QString, fault);
    const QByteArray product = R"({"code": "{11111111-2222-3333-4444-555555555555}", "name": "P",
        "installDir": "i", "feed": "f.json", "keys": [")" + point.toBase64() + "\"]}";
    const ProductFile::Result result = ProductFile::parse(product, u"/srv/products/p.json"_s);
    QVERIFY(!result.value.has_value());
    QCOMPARE(result.error, u"field \"keys\": keys[0] is not a usable Ed25519 public key: "_s + fault
                               + (fault == u"not canonically encoded"_s
                                      ? u" (y is 2^255 - 19 or more)"_s
                                      : QString()));

    // As R, with S = 0, checked against the identity as the key.
    const QByteArray identity = QByteArray(1, 1) + QByteArray(31, 0);
    const QByteArray signature = QByteArray(point + QByteArray(32, 0)).toBase64() + '\n';
    const QString error = FeedFile::checkSignature("{}", signature, {identity});
    QVERIFY2(error.startsWith(u"signature: the signature is not usable: its R is "_s + fault),
             qPrintable(error));
}

namespace {

// Fetches url as a feed, within 10 s; the outcome and the error.
std::pair<FeedFetch::Outcome, QString> fetchFeed(const QUrl &url, QByteArray *feed = nullptr)
{
    Network network;
    FeedFetch fetch(url, &network, 10000, {});
    bool done = false;
    QObject::connect(&fetch, &FeedFetch::done, [&] { done = true; });
    fetch.start();
    QTest::qWaitFor([&] { return done; }, 11000);
    if (feed)
        *feed = fetch.feed();
    return {fetch.outcome(), fetch.error()};
}

} // namespace

void TestAgentUnits::hostileHttpServers_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("error"); // a pattern; empty when the feed is fetched
    using Kind = HttpTestServer::Kind;
    QTest::newRow("a plain feed") << int(Kind::Serve) << QByteArray("{}") << QString() << QString();
    QTest::newRow("5 MB of headers") << int(Kind::HugeHeaders) << QByteArray() << QString()
                                     << u"^the response headers from 127\\.0\\.0\\.1 passed 64 KiB$"_s;
    QTest::newRow("endless chunked body") << int(Kind::Endless) << QByteArray() << QString()
                                          << u"^size: the feed is larger than 1048576 bytes"_s;
    QTest::newRow("redirect to file://")
        << int(Kind::Redirect) << QByteArray() << u"file:///etc/passwd"_s
        << u"^refused a redirect \\(another scheme\\) to file:///etc/passwd from http://127\\.0\\.0\\.1:\\d+/hostile$"_s;
    QTest::newRow("redirect loop") << int(Kind::Redirect) << QByteArray() << u"self"_s
                                   << u"^more than 10 redirects, the last to http://\\S+/hostile from "_s;
    QTest::newRow("long reason phrase with escapes")
        << int(Kind::Reason) << QByteArray("\x1b[31m\x7f" + QByteArray(32 * 1024, 'r')) << QString()
        << u"^HTTP 500 \\[31mr{196} from http://127\\.0\\.0\\.1:\\d+/hostile$"_s;
    QTest::newRow("1 MiB reason phrase") << int(Kind::Reason) << QByteArray(1024 * 1024, 'r')
                                         << QString()
                                         << u"^the response headers from 127\\.0\\.0\\.1 passed 64 KiB$"_s;
    QTest::newRow("reset") << int(Kind::Reset) << QByteArray("{}") << QString()
                           << u"^the connection was reset by the server$"_s;
}

// Cut off at once, whatever the server does, and never asking for a
// compressed body.
void TestAgentUnits::hostileHttpServers()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, body);
    QFETCH(QString, location);
    QFETCH(QString, error);
    HttpTestServer server;
    QVERIFY(server.startListening());
    const QString path = u"/hostile"_s;
    server.setRoute(path, {HttpTestServer::Kind(kind), body,
                           location == u"self"_s ? server.url(path) : QUrl(location), 0});
    server.setRoute(path + u".sig"_s, {HttpTestServer::Kind::Serve, "signature", {}, 0});
    QVERIFY(resetPeakRss());
    const qint64 before = peakRssKiB();
    QElapsedTimer clock;
    clock.start();
    QByteArray feed;
    const auto [outcome, why] = fetchFeed(server.url(path), &feed);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(why));
    // Floods are cut as they arrive, not after they were held.
    const qint64 grown = peakRssKiB() - before;
    QVERIFY2(before > 0 && grown < 64 * 1024, qPrintable(QString::number(grown) + u" KiB more"_s));
    if (error.isEmpty()) {
        QCOMPARE(outcome, FeedFetch::Outcome::Fetched);
        QCOMPARE(feed, body);
    } else {
        QCOMPARE(outcome, FeedFetch::Outcome::Failed);
        QVERIFY2(QRegularExpression(error).match(why).hasMatch(), qPrintable(why));
    }
    QVERIFY(!server.lastRequest(path).isEmpty());
    QVERIFY(!server.lastRequest(path).toLower().contains("accept-encoding"));
}

void TestAgentUnits::tlsNamesFromSubjectAltNames_data()
{
    QTest::addColumn<QString>("extensions");
    QTest::addColumn<QString>("error");
    QTest::newRow("subject alternative name") << u"-extfile san.ext"_s << QString();
    QTest::newRow("common name only")
        << QString() << u"the certificate of localhost names no subject alternative name"_s;
}

// Both certificates name localhost in their CN and come from a CA the
// trust store has; libcurl alone would take either.
void TestAgentUnits::tlsNamesFromSubjectAltNames()
{
    QFETCH(QString, extensions);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(u"san.ext"_s), "subjectAltName=DNS:localhost\n"));
    QVERIFY(writeFile(dir.filePath(u"feed.json"_s), "{}"));
    QVERIFY(writeFile(dir.filePath(u"feed.json.sig"_s), "signature"));
    QProcess make;
    make.setWorkingDirectory(dir.path());
    make.start(u"sh"_s, {u"-ec"_s, u"o='-nodes -newkey ec -pkeyopt ec_paramgen_curve:P-256'; "
                                   "openssl req -x509 $o -keyout ca.key -out ca.pem -subj /CN=CA -days 1; "
                                   "openssl req $o -keyout leaf.key -out leaf.csr -subj /CN=localhost; "
                                   "openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -out leaf.pem "
                                   "-days 1 "_s + extensions});
    QVERIFY(make.waitForFinished(20000));
    QVERIFY2(make.exitCode() == 0, make.readAllStandardError().constData());
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    QProcess server;
    server.setWorkingDirectory(dir.path());
    server.start(u"openssl"_s, {u"s_server"_s, u"-quiet"_s, u"-WWW"_s, u"-accept"_s,
                                u"127.0.0.1:"_s + QString::number(port), u"-cert"_s, u"leaf.pem"_s,
                                u"-key"_s, u"leaf.key"_s});
    QVERIFY(server.waitForStarted(5000));
    QVERIFY(QTest::qWaitFor([&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(200);
    }, 5000));
    qputenv("SSL_CERT_FILE", QFile::encodeName(dir.filePath(u"ca.pem"_s)));
    const auto [outcome, why] =
        fetchFeed(QUrl(u"https://localhost:"_s + QString::number(port) + u"/feed.json"_s));
    qunsetenv("SSL_CERT_FILE");
    server.kill();
    server.waitForFinished(5000);
    QCOMPARE(why, error);
    QCOMPARE(outcome, error.isEmpty() ? FeedFetch::Outcome::Fetched : FeedFetch::Outcome::Failed);
}

void TestAgentUnits::feedCacheIsNotWrittenThroughLinks_data()
{
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QString>("reason");
    QTest::newRow("cache folder a symlink") << u"folder link"_s
                                            << u"refusing to write in \\S+/feeds: it is a symlink"_s;
    QTest::newRow("cache folder a plain file") << u"folder file"_s << u"\\S+/feeds is not a folder"_s;
    QTest::newRow("cached feed a symlink")
        << u"feed link"_s << u"refusing to write \\S+/\\{[-0-9A-F]+\\}\\.json through a symlink"_s;
    QTest::newRow("cached signature a symlink")
        << u"signature link"_s << u"refusing to write \\S+\\.json\\.sig through a symlink"_s;
}

// An accepted feed is still used, only not kept, and whatever the link
// points at is left as it was.
void TestAgentUnits::feedCacheIsNotWrittenThroughLinks()
{
    QFETCH(QString, planted);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    TestCatalog catalog(dir.path() + u"/vendor"_s);
    catalog.writeProduct({});
    const ProductFile::Result product = ProductFile::read(catalog.productsDir() + u"/product.json"_s);
    QVERIFY2(product.value.has_value(), qPrintable(product.error));
    const QString elsewhere = dir.path() + u"/elsewhere"_s;
    const QString cache = dir.path() + u"/cache/feeds"_s;
    const QString cached = cache + u'/' + product.value->code.toUpper() + u".json"_s;
    QVERIFY(QDir().mkpath(elsewhere) && QDir().mkpath(dir.path() + u"/cache"_s));
    QVERIFY(writeFile(elsewhere + u"/mine"_s, "mine"));
    if (planted == u"folder link"_s) {
        QVERIFY(QFile::link(elsewhere, cache));
    } else if (planted == u"folder file"_s) {
        QVERIFY(writeFile(cache, "mine"));
    } else {
        QVERIFY(QDir().mkpath(cache));
        QVERIFY(QFile::link(elsewhere + u"/mine"_s,
                            planted == u"feed link"_s ? cached : cached + u".sig"_s));
    }

    StateFile state(dir.path() + u"/state.json"_s);
    FeedMarks marks(&state);
    Network network;
    FeedKeeper keeper({0, 10000, cache}, &marks, &network);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(u"^feed of Test Product not cached - "_s + reason + u'$'));
    std::optional<bool> connected;
    keeper.isConnected(*product.value, [&](bool answer) { connected = answer; });
    QTRY_VERIFY(connected.has_value());
    QVERIFY(*connected);
    QVERIFY(keeper.updates(*product.value).has_value());
    QCOMPARE(QDir(elsewhere).entryList(QDir::Files | QDir::Hidden | QDir::System),
             QStringList{u"mine"_s});
    QCOMPARE(contentOf(elsewhere + u"/mine"_s), QByteArray("mine"));
    if (planted == u"folder file"_s)
        QCOMPARE(contentOf(cache), QByteArray("mine"));
}

void TestAgentUnits::productCode_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("valid");
    QTest::newRow("braced") << u"{11111111-2222-3333-4444-555555555555}"_s << true;
    QTest::newRow("37 characters") << u"{11111111-2222-3333-4444-55555555555}"_s << false;
    QTest::newRow("early brace") << u"{1111111}-2222-3333-4444-555555555555}"_s << false;
    QTest::newRow("no opening brace") << u"111111111-2222-3333-4444-555555555555}"_s << false;
}

void TestAgentUnits::productCode()
{
    QFETCH(QString, code);
    QFETCH(bool, valid);
    QCOMPARE(ProductFile::isProductCode(code), valid);
}

void TestAgentUnits::installRecord()
{
    QTemporaryDir dir;
    const QString path = dir.path() + u"/deep/state/installed.json"_s;
    StateFile state(path);
    InstallRecord record(&state);
    const QString code = u"{11111111-2222-3333-4444-555555555555}"_s;
    QVERIFY(!record.isInstalled(code, u"u1"_s, u"1"_s));
    QString error;
    QVERIFY2(record.record(code, u"u1"_s, u"1"_s, u"/opt/u1.bin"_s, &error), qPrintable(error));
    QVERIFY(record.isInstalled(code, u"u1"_s, u"1"_s));
    QVERIFY(record.isInstalled(code.toLower(), u"u1"_s, u"1"_s));
    QVERIFY(!record.isInstalled(code, u"u1"_s, u"2"_s)); // a newer version is offered again
    QVERIFY(!record.isInstalled(code, u"u2"_s, u"1"_s));
    // A second agent run reads what the first wrote.
    StateFile again(path);
    QVERIFY(InstallRecord(&again).isInstalled(code, u"u1"_s, u"1"_s));

    QFile damaged(path);
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("{ not json");
    damaged.close();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"moved aside"_s));
    QVERIFY(!record.isInstalled(code, u"u1"_s, u"1"_s));
}

namespace {

const QString StateCode = u"{11111111-2222-3333-4444-555555555555}"_s;

} // namespace

void TestAgentUnits::unreadableStateFileIsMovedAside_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("stray comma") << QByteArray(R"({"X": {"u1": {"version": "1"}},})");
    QTest::newRow("not an object") << QByteArray("[1]");
    QTest::newRow("larger than 16 MiB") << QByteArray(StateFile::MaxBytes + 1, ' ');
    // Which of the two is the record depends on the reader.
    QTest::newRow("a version twice")
        << QByteArray(R"({"X": {"u1": {"version": "1", "path": "/a", "version": "2"}}})");
    QTest::newRow("a product twice, once escaped") << QByteArray(R"({"X": {}, "\u0058": {}})");
}

void TestAgentUnits::unreadableStateFileIsMovedAside()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.path() + u"/installed.json"_s;
    QVERIFY(writeFile(path, content));
    StateFile state(path);
    InstallRecord record(&state);
    QTest::ignoreMessage(QtCriticalMsg,
                         QRegularExpression(u"cannot be read .*; moved aside as .*/installed\\.json"
                                            "\\.corrupt-\\d{8}T\\d{6}Z, starting with an empty record$"_s));
    QVERIFY(!record.isInstalled(StateCode, u"u1"_s, u"1"_s));
    QString error;
    QVERIFY2(record.record(StateCode, u"u2"_s, u"1"_s, u"/opt/u2.bin"_s, &error), qPrintable(error));
    QVERIFY(record.isInstalled(StateCode, u"u2"_s, u"1"_s));
    // The original bytes survive beside the new record.
    const QStringList aside = QDir(dir.path()).entryList({u"installed.json.corrupt-*"_s}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QCOMPARE(contentOf(dir.path() + u'/' + aside.first()), content);
}

void TestAgentUnits::stateFileIsNotWrittenThroughASymlink()
{
    QTemporaryDir dir;
    const QString path = dir.path() + u"/installed.json"_s;
    const QString target = dir.path() + u"/elsewhere.json"_s;
    QVERIFY(writeFile(target, "{}\n"));
    QVERIFY(QFile::link(target, path));
    StateFile state(path);
    InstallRecord record(&state);
    QString error;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^refusing to write .* through a symlink$"_s));
    QVERIFY(!record.record(StateCode, u"u1"_s, u"1"_s, u"/opt/u1.bin"_s, &error));
    QVERIFY2(error.contains(u"symlink"_s), qPrintable(error));
    QCOMPARE(contentOf(target), QByteArray("{}\n"));
    QVERIFY(QFileInfo(path).isSymLink());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 2);
}

void TestAgentUnits::stateFileSizeBounds()
{
    QTemporaryDir dir;
    const QString path = dir.path() + u"/installed.json"_s;
    StateFile state(path);
    QString error;
    // Over the old limit of 1 MiB, as years of records make it: read back.
    const QJsonObject years{{StateCode, QJsonObject{{u"u1"_s, QJsonObject{{u"version"_s, u"1"_s}}}}},
                            {u"notes"_s, QString(2 * 1024 * 1024, u'x')}};
    QVERIFY2(state.save(years, &error), qPrintable(error));
    StateFile again(path);
    QVERIFY(InstallRecord(&again).isInstalled(StateCode, u"u1"_s, u"1"_s));
    const QByteArray before = contentOf(path);

    // What would not be read back is never written.
    QJsonObject tooLarge = years;
    tooLarge.insert(u"notes"_s, QString(StateFile::MaxBytes, u'x'));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"would be \\d+ bytes, more than the 16777216"_s));
    QVERIFY(!state.save(tooLarge, &error));
    QVERIFY2(error.contains(u"not written"_s), qPrintable(error));
    QCOMPARE(contentOf(path), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList{u"installed.json"_s});
}

void TestAgentUnits::partFileRefusesASecondCreate()
{
    QTemporaryDir dir;
    PartFile part;
    QString error;
    QVERIFY2(part.create(dir.path(), u"u1.bin"_s, &error), qPrintable(error));
    const QString first = part.path();
    // Its hashing thread runs: a second file would have to replace it.
    QVERIFY(!part.create(dir.path(), u"u1.bin"_s, &error));
    QVERIFY2(error.contains(first), qPrintable(error));
    QCOMPARE(part.path(), first);
    // A crash leaves it under a name the start-up sweep knows.
    QVERIFY2(PartFile::isPartName(QFileInfo(first).fileName()), qPrintable(first));
    QVERIFY(part.append("abc", &error));
    QByteArray delivered;
    part.whenHashed(this, [&delivered](const QByteArray &digest) { delivered = digest; });
    QTRY_COMPARE(delivered, Sha256::hash("abc"));
    part.remove();
    // Once removed, a new file is made and hashed from its start.
    QVERIFY2(part.create(dir.path(), u"u1.bin"_s, &error), qPrintable(error));
    QVERIFY(part.append("xyz", &error));
    QCOMPARE(part.digest(), Sha256::hash("xyz"));
    part.remove();
    QVERIFY(QDir(dir.path()).isEmpty());
}

void TestAgentUnits::installFolderReplacesAtomically()
{
    QTemporaryDir dir;
    const QString folder = dir.path() + u"/install"_s;
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeFile(folder + u"/app.bin"_s, "old"));
    QVERIFY(writeFile(folder + u"/.app.bin.x.part"_s, "new"));
    QString error;
    const InstallFolder install(folder);
    QVERIFY(install.canReceive(3, &error));
    QCOMPARE(install.moveInto(folder + u"/.app.bin.x.part"_s, u"app.bin"_s, &error),
             folder + u"/app.bin"_s);
    QFile file(folder + u"/app.bin"_s);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("new"));
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{u"app.bin"_s});

    QVERIFY(writeFile(folder + u"/.x.part"_s, "x"));
    QVERIFY(install.moveInto(folder + u"/.x.part"_s, u"../outside"_s, &error).isEmpty());
    QVERIFY(!QFile::exists(dir.path() + u"/outside"_s));

    // A folder that does not exist yet can be made; one below a file cannot.
    QVERIFY(InstallFolder(folder + u"/later/deeper"_s).canReceive(1, &error));
    QVERIFY(!InstallFolder(folder + u"/app.bin/sub"_s).canReceive(1, &error));
    QVERIFY(!InstallFolder(folder).canReceive(std::numeric_limits<qint64>::max(), &error));
    QVERIFY2(error.contains(u"not enough free space"_s), qPrintable(error));
}

namespace {

// Unpacks `archive` as the agent does into folder, for link "app" version
// 2.0; returns the tree's name, or the error.
ArchiveTree::Unpacked unpackArchive(const QString &folder, const QByteArray &archive, qint64 size)
{
    const QString path = folder + u"/../archive.tar"_s;
    writeFile(path, archive);
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const ArchiveTree::Unpacked result = ArchiveTree(folder, u"app"_s, u"2.0"_s).unpack(fd, size, nullptr);
    ::close(fd);
    return result;
}

} // namespace

void TestAgentUnits::partFilesSwept_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("ageDays");
    QTest::addColumn<bool>("feedKnown");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<bool>("held"); // a download has .u1.bin.fedcba9876543210.part open
    // The feed lists one update still to come, whose partial file is
    // .u1.bin.0123456789abcdef.part.
    const QString wanted = u".u1.bin.0123456789abcdef.part"_s;
    QTest::newRow("a user's .thesis.v2.part") << u".thesis.v2.part"_s << 30 << true << true << false;
    QTest::newRow("a user's .x.1.part") << u".x.1.part"_s << 30 << true << true << false;
    QTest::newRow("of an update still to come") << wanted << 0 << true << true << false;
    QTest::newRow("its validators") << wanted + u".json"_s << 0 << true << true << false;
    QTest::newRow("of an update gone or installed") << u".u1.bin.fedcba9876543210.part"_s << 0
                                                     << true << false << false;
    QTest::newRow("validators of one gone") << u".u1.bin.fedcba9876543210.part.json"_s << 0 << true
                                            << false << false;
    QTest::newRow("15 days old") << wanted << 15 << true << false << false;
    QTest::newRow("no accepted feed") << u".u1.bin.fedcba9876543210.part"_s << 0 << false << true << false;
    QTest::newRow("no accepted feed, 15 days old") << wanted << 15 << false << false << false;
    QTest::newRow("gone, but downloading now") << u".u1.bin.fedcba9876543210.part"_s << 0 << true
                                               << true << true;
    QTest::newRow("validators of one downloading now")
        << u".u1.bin.fedcba9876543210.part.json"_s << 0 << true << true << true;
}

// Only names the agent makes, and only when it can tie them to nothing to come.
void TestAgentUnits::partFilesSwept()
{
    QFETCH(QString, name);
    QFETCH(int, ageDays);
    QFETCH(bool, feedKnown);
    QFETCH(bool, kept);
    QFETCH(bool, held);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QVERIFY(writeFile(path, "held"));
    PartFile download;
    QString error;
    if (held)
        QVERIFY2(download.open(dir.path(), u"u1.bin"_s,
                               QByteArray::fromHex("fedcba9876543210") + QByteArray(24, '\0'), &error),
                 qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::currentDateTimeUtc().addDays(-ageDays),
                             QFileDevice::FileModificationTime));
    file.close();
    std::optional<QSet<QString>> wanted;
    if (feedKnown)
        wanted = QSet<QString>{u".u1.bin.0123456789abcdef.part"_s};
    if (!kept)
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(u"removed the unfinished download"_s));
    InstallFolder(dir.path()).removeStaleDownloads(wanted);
    QCOMPARE(QFileInfo::exists(path), kept);
}

void TestAgentUnits::archiveRefusals_data()
{
    using namespace TestArchive;
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<qint64>("unpackedSize");
    QTest::addColumn<QString>("error");

    const auto row = [](const char *name, const QList<Entry> &entries, const QString &error) {
        QTest::newRow(name) << make(entries) << qint64(100) << error;
    };
    row("absolute path", {aFile("bin/a"), aFile("/etc/passwd")}, u"entry \"/etc/passwd\" is an absolute path"_s);
    row("dot dot", {aFile("a/../../x")}, u"entry \"a/../../x\" has a \"..\" component"_s);
    row("hard link", {aFile("a"), aLink("b", "a", 'h')}, u"entry \"b\" is a hard link"_s);
    row("device", {aSpecial("null", 'c')}, u"entry \"null\" is a device"_s);
    row("FIFO", {aSpecial("pipe", 'p')}, u"entry \"pipe\" is a FIFO"_s);
    row("under a symbolic link", {aFolder("real"), aLink("lib", "real"), aFile("lib/x")},
        u"entry \"lib/x\" lies under the symbolic link \"lib\" of the archive"_s);
    row("symbolic link to an absolute path", {aLink("etc", "/etc")},
        u"entry \"etc\" is a symbolic link to the absolute path \"/etc\""_s);
    row("symbolic link out of the tree", {aFolder("a"), aLink("a/up", "../../x")},
        u"entry \"a/up\" is a symbolic link that leads outside the tree"_s);
    row("symbolic link out through another", {aLink("here", "."), aLink("up", "here/..")},
        u"entry \"up\" is a symbolic link that leads outside the tree"_s);
    row("repeated path", {aFile("a"), aFile("b"), aFile("./a")}, u"entry \"./a\" repeats a path"_s);
    row("file over an implied folder", {aFile("a/b"), aFile("a")}, u"entry \"a\" repeats a path"_s);
    row("under a file", {aFile("a"), aFile("a/b")}, u"entry \"a/b\" lies under the file \"a\""_s);
    row("name over 4096 bytes", {aFile(QByteArray(4097, 'n'))}, u"has a name over 4096 bytes"_s);
    row("files over unpackedSize", {aFile("a", QByteArray(60, 'a')), aFile("b", QByteArray(41, 'b'))},
        u"entry \"b\" brings the regular files to more than the unpackedSize of 100 bytes"_s);

    const QByteArray file0 = header("a", '0', 0) + end();
    QTest::newRow("NUL in a ustar name")
        << header(QByteArray("abc\0../../x", 11), '0', 0) + end() << qint64(100)
        << u"entry \"abc\\0../../x\" has a NUL in its name"_s;
    const QByteArray record = QByteArray("20 path=lib\0../../x\n", 20);
    QTest::newRow("NUL in a pax path")
        << header("PaxHeaders/a", 'x', record.size()) + blocks(record) + file0 << qint64(100)
        << u"entry \"lib\\0../../x\" has a NUL in its name"_s;
    const QByteArray longName = QByteArray(120, 'n') + QByteArray("\0../x\0", 7);
    QTest::newRow("NUL in a GNU long name")
        << header("././@LongLink", 'L', longName.size(), true) + blocks(longName)
               + header("a", '0', 0, true) + end()
        << qint64(100) << u"has a NUL in its name"_s;

    QList<Entry> many;
    for (int i = 0; i <= ArchiveReader::MaxEntries; ++i)
        many.append(aFile("f" + QByteArray::number(i), QByteArray()));
    QTest::newRow("over 100000 entries") << make(many, "gzip") << qint64(0)
                                         << u"entry \"f100000\" is one too many"_s;
    const QByteArray good = make({aFile("a", QByteArray(4000, 'a'))}, "gzip");
    QTest::newRow("truncated") << good.left(good.size() / 2) << qint64(4000)
                               << u"the archive is damaged"_s;
    QTest::newRow("not an archive") << QByteArray("plain text, not a tar archive\n") << qint64(100)
                                    << u"the archive is damaged"_s;
}

// Every refusal names the entry and why, and leaves the install folder as
// it was, down to the last file.
void TestAgentUnits::archiveRefusals()
{
    QFETCH(QByteArray, archive);
    QFETCH(qint64, unpackedSize);
    QFETCH(QString, error);
    QTemporaryDir dir;
    const QString folder = dir.path() + u"/install"_s;
    QVERIFY(QDir().mkpath(folder + u"/.app-1.0/bin"_s));
    QVERIFY(writeFile(folder + u"/.app-1.0/bin/app"_s, "old"));
    QVERIFY(QFile::link(u".app-1.0"_s, folder + u"/app"_s));
    const QStringList before = TestArchive::listing(folder);

    const ArchiveTree::Unpacked result = unpackArchive(folder, archive, unpackedSize);
    QVERIFY2(result.error.contains(error), qPrintable(result.error));
    QVERIFY(!result.localFailure);
    QCOMPARE(result.name, QString());
    QCOMPARE(TestArchive::listing(folder), before);

    // The vendor's check says the same, without writing anything.
    QTemporaryFile copy;
    QVERIFY(copy.open());
    copy.write(archive);
    copy.flush();
    QCOMPARE(ArchiveReader::read(copy.handle(), unpackedSize).error, result.error);
}

void TestAgentUnits::archiveTree_data()
{
    QTest::addColumn<QByteArray>("filter");
    QTest::newRow("plain") << QByteArray("none");
    QTest::newRow("gzip") << QByteArray("gzip");
    QTest::newRow("xz") << QByteArray("xz");
    QTest::newRow("zstd") << QByteArray("zstd");
}

// A tree as the archive has it: contents, relative links, the executable
// bits kept, set-id and sticky bits dropped, folders the archive implies.
void TestAgentUnits::archiveTree()
{
    using namespace TestArchive;
    QFETCH(QByteArray, filter);
    QTemporaryDir dir;
    const QString install = dir.path() + u"/install"_s;
    QVERIFY(QDir().mkpath(install));
    const QByteArray big(300000, 'b');
    const QByteArray archive = make({aFolder("./"), aFolder("bin"), aFile("bin/app", "#!/bin/sh\n", 0755),
                                     aFile("bin/helper", "x", 04755), aFolder("shared", 01777),
                                     aFile("lib/libx.so.1", big, 0640), aLink("lib/libx.so", "libx.so.1"),
                                     aLink("bin/lib", "../lib"), aFolder("empty", 0700)},
                                    filter.constData());
    const ArchiveTree::Unpacked result = unpackArchive(install, archive, 10 + 1 + big.size());
    QVERIFY2(result.error.isEmpty(), qPrintable(result.error));
    QVERIFY(result.name.startsWith(u".app-2.0.unpack-"_s));
    const QString tree = install + u'/' + result.name;
    QCOMPARE(TestArchive::listing(tree),
             (QStringList{u"d700 empty"_s, u"d755 bin"_s, u"d755 lib"_s, u"d777 shared"_s,
                          u"f640 lib/libx.so.1"_s, u"f755 bin/app"_s, u"f755 bin/helper"_s,
                          u"l777 bin/lib -> ../lib"_s, u"l777 lib/libx.so -> libx.so.1"_s}));
    QFile lib(tree + u"/bin/lib/libx.so"_s);
    QVERIFY(lib.open(QIODevice::ReadOnly));
    QCOMPARE(lib.readAll(), big);
    QCOMPARE(QFileInfo(tree).permissions() & QFileDevice::ReadOther, QFileDevice::ReadOther);

    // Exactly unpackedSize is enough; one byte less is not.
    QTemporaryDir other;
    QVERIFY(QDir().mkpath(other.path() + u"/install"_s));
    QVERIFY(unpackArchive(other.path() + u"/install"_s, archive, 10 + big.size())
                .error.contains(u"more than the unpackedSize"_s));
}

void TestAgentUnits::settingsPrecedence_data()
{
    QTest::addColumn<QByteArray>("system");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("idleMs");
    QTest::addColumn<QString>("warning"); // a pattern of the one line logged, if any

    const QStringList none;
    QTest::newRow("defaults") << QByteArray() << QByteArray() << none << 60000 << QString();
    QTest::newRow("system") << QByteArray("idle-timeout=10") << QByteArray() << none << 10000
                            << QString();
    QTest::newRow("user over system") << QByteArray("idle-timeout=10")
                                      << QByteArray("[General]\nidle-timeout=2.5") << none << 2500
                                      << QString();
    QTest::newRow("command line over both")
        << QByteArray("idle-timeout=10") << QByteArray("idle-timeout=20")
        << QStringList{u"--idle-timeout"_s, u"0"_s} << 0 << QString();
    QTest::newRow("bad value: the default") << QByteArray() << QByteArray("idle-timeout=soon")
                                            << none << 60000
                                            << u"user.conf - idle-timeout=soon ignored: wants a number of seconds"_s;
    QTest::newRow("bad value: the file below")
        << QByteArray("idle-timeout=10") << QByteArray("idle-timeout=1,5") << none << 10000
        << u"user.conf - idle-timeout=1,5 ignored"_s;
    QTest::newRow("feed timeout past the client's") << QByteArray("feed-timeout=30") << QByteArray()
                                                    << none << 60000
                                                    << u"feed-timeout=30 ignored: wants a number of seconds from 0 to 20"_s;
    QTest::newRow("unknown key") << QByteArray("idle-timeuot=5") << QByteArray() << none << 60000
                                 << u"system.conf - idle-timeuot=5 ignored: unknown setting"_s;
    QTest::newRow("path: command line only")
        << QByteArray() << QByteArray("state-file=/tmp/x") << none << 60000
        << u"state-file=/tmp/x ignored: only taken from the command line"_s;
    QTest::newRow("not INI") << QByteArray("idle-timeout=10\n[broken") << QByteArray() << none
                             << 60000 << u"system.conf cannot be read as an INI file"_s;
    QTest::newRow("locked: the user's file lowers it")
        << QByteArray("idle-timeout=5\n[locked]\nidle-timeout=10") << QByteArray("idle-timeout=2")
        << none << 2000 << QString();
    QTest::newRow("locked: the user's file raises it")
        << QByteArray("[locked]\nidle-timeout=10") << QByteArray("idle-timeout=20") << none << 10000
        << u"user.conf - idle-timeout=20 ignored: locked at 10 or less by "_s;
    QTest::newRow("locked: 0, never, is the most")
        << QByteArray("[locked]\nidle-timeout=10") << QByteArray("idle-timeout=0") << none << 10000
        << u"idle-timeout=0 ignored: locked at 10"_s;
    QTest::newRow("locked: the command line raises it")
        << QByteArray("[locked]\nidle-timeout=10") << QByteArray()
        << QStringList{u"--idle-timeout"_s, u"30"_s} << 10000
        << u"--idle-timeout 30 ignored: locked at 10"_s;
    QTest::newRow("a lock in the user's file")
        << QByteArray() << QByteArray("[locked]\nidle-timeout=10") << none << 60000
        << u"locked/idle-timeout=10 ignored: only the system file locks settings"_s;
}

void TestAgentUnits::settingsPrecedence()
{
    QFETCH(QByteArray, system);
    QFETCH(QByteArray, user);
    QFETCH(QStringList, arguments);
    QFETCH(int, idleMs);
    QFETCH(QString, warning);

    QTemporaryDir dir;
    const QStringList files = {dir.filePath(u"system.conf"_s), dir.filePath(u"user.conf"_s)};
    // An empty one stands for a file that is not there.
    for (const auto &[path, content] : {std::pair(files[0], system), std::pair(files[1], user)})
        QVERIFY(content.isEmpty() || writeFile(path, content));
    QTest::failOnWarning(QRegularExpression(u".*"_s));
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
    AgentOptions options;
    QVERIFY(options.parse(QStringList{u"agent"_s} + arguments, files));
    QCOMPARE(options.idleTimeoutMs, idleMs);
}

// Every setting the example names, uncommented, is taken as it stands.
void TestAgentUnits::exampleConfigHoldsTheDefaults()
{
    QFile example(QStringLiteral(KELVARRA_EXAMPLE_CONFIG));
    QVERIFY(example.open(QIODevice::ReadOnly));
    const QByteArray asShipped = example.readAll();
    const QByteArray text = QString::fromUtf8(asShipped)
                                .replace(QRegularExpression(u"^#([a-z-]+=)"_s,
                                                            QRegularExpression::MultilineOption),
                                         u"\\1"_s)
                                .toUtf8();
    QVERIFY(text.contains("\nidle-timeout="));
    QTemporaryDir dir;
    const QString path = dir.filePath(u"agent.conf"_s);
    QTest::failOnWarning(QRegularExpression(u".*"_s));
    // Copied as it is, its commented settings are comments too.
    for (const QByteArray &content : {asShipped, text}) {
        QVERIFY(writeFile(path, content));
        AgentOptions options;
        QVERIFY(options.parse({u"agent"_s}, {path}));
        const AgentOptions defaults;
        QCOMPARE(options.rateLimitBytes, defaults.rateLimitBytes);
        QCOMPARE(options.rateLimitTotalBytes, defaults.rateLimitTotalBytes);
        QCOMPARE(options.idleTimeoutMs, defaults.idleTimeoutMs);
        QCOMPARE(options.stallTimeoutMs, defaults.stallTimeoutMs);
        QCOMPARE(options.feedMaxAgeMs, defaults.feedMaxAgeMs);
        QCOMPARE(options.feedTimeoutMs, defaults.feedTimeoutMs);
    }
}

void TestAgentUnits::logEscapesPeerText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("logged");
    QTest::newRow("plain") << u"{0F1E-ab} /tmp/x.bin"_s << u"{0F1E-ab} /tmp/x.bin"_s;
    QTest::newRow("forged line") << u"x\npalvane-update-agent: y"_s << u"x\\npalvane-update-agent: y"_s;
    QTest::newRow("carriage return and tab") << u"a\rb\tc"_s << u"a\\rb\\tc"_s;
    QTest::newRow("terminal escape") << u"\x1b[2Jz"_s << u"\\x1b[2Jz"_s;
    QTest::newRow("backslash itself") << u"a\\nb"_s << u"a\\\\nb"_s;
    QTest::newRow("nul, DEL and C1") << u"a\0b\x7f\u0085"_s << u"a\\x00b\\x7f\\x85"_s;
    QTest::newRow("line separator and override")
        << u"a\u2028b\u202e"_s << u"a\\u2028b\\u202e"_s;
    QTest::newRow("other text stays") << u"Größe ✓"_s << u"Größe ✓"_s;
}

void TestAgentUnits::logEscapesPeerText()
{
    QFETCH(QString, text);
    QFETCH(QString, logged);
    QCOMPARE(AgentLog::escaped(text), logged);
}

void TestAgentUnits::logPriorityOnlyForTheJournal()
{
    qSetMessagePattern(u"%{category}: %{message}"_s);
    const QMessageLogContext context(nullptr, 0, nullptr, "palvane.agent.bus");
    const QString message = u"a\nb"_s;
    QCOMPARE(AgentLog::line(QtWarningMsg, context, message, false),
             QByteArray("palvane.agent.bus: a\\nb"));
    const QList<std::pair<QtMsgType, QByteArray>> levels{
        {QtDebugMsg, "<7>"}, {QtInfoMsg, "<6>"}, {QtWarningMsg, "<4>"}, {QtCriticalMsg, "<3>"}};
    for (const auto &[type, prefix] : levels)
        QCOMPARE(AgentLog::line(type, context, message, true), prefix + "palvane.agent.bus: a\\nb");
    qSetMessagePattern(QString());

    QTemporaryFile file;
    QVERIFY(file.open());
    struct stat status = {};
    QCOMPARE(::fstat(file.handle(), &status), 0);
    const QByteArray stream = QByteArray::number(quint64(status.st_dev)) + ':'
                              + QByteArray::number(quint64(status.st_ino));
    QVERIFY(AgentLog::isJournalStream(stream, file.handle()));
    QVERIFY(!AgentLog::isJournalStream(stream + '1', file.handle()));
    QVERIFY(!AgentLog::isJournalStream(QByteArray(), file.handle()));
    QVERIFY(!AgentLog::isJournalStream("12", file.handle()));
}

QTEST_GUILESS_MAIN(TestAgentUnits)
#include "tst_agent_units.moc"
