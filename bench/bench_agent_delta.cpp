// SPDX-License-Identifier: GPL-3.0-or-later
// A delta update against the whole payload, in the same run: a payload of
// random bytes whose new version differs in runs of 64 KiB spread evenly,
// its delta made by palvane-feed, then
//   the delta's size as a share of the payload (goal: at most 5 %);
//   the agent applying it, file in place hashed and delta decoded, against
//   the agent downloading the whole payload from a loopback HTTP server,
//   each from OnDownloadBegin to OnDownloadComplete;
//   the agent's RssAnon before Execute and at its peak meanwhile (goal:
//   within 64 MiB).
// Not part of the test run:
//   bench_agent_delta [megabytes] [percent changed]     (default 256 and 2)

#include "AgentFixture.h"
#include "HttpTestServer.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 RunBytes = 64 * 1024;
constexpr int TimeoutMs = 600000;

qint64 rssAnonKiB(uint pid)
{
    return procStatusKiB(pid, "RssAnon");
}

QByteArray randomBytes(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                          size_t(size / 4));
    return bytes;
}

struct Run
{
    qint64 ms = -1;
    qint64 rssBefore = 0;
    qint64 rssPeak = 0;
};

// One download through the agent, the RssAnon sampled every 20 ms.
Run download(AgentFixture &fixture, const QJsonObject &update)
{
    Run run;
    fixture.catalog.writeProduct({update});
    if (!fixture.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(fixture.error()));
        return run;
    }
    const uint pid = fixture.connection().interface()->servicePid(
        QString::fromUtf16(Contract::ServiceName));
    const QString path = itemPath(fixture.updates().Item(1));
    Proxy::UpdateItem item = fixture.item(path);
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), path, fixture.connection());
    QSignalSpy begin(&events, &Proxy::UpdateItemEvents::OnDownloadBegin);
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    run.rssBefore = run.rssPeak = rssAnonKiB(pid);
    item.Execute().waitForFinished();
    QElapsedTimer clock;
    if (begin.wait(TimeoutMs))
        clock.start();
    while (clock.isValid() && complete.isEmpty() && clock.elapsed() < TimeoutMs) {
        complete.wait(20);
        run.rssPeak = std::max(run.rssPeak, rssAnonKiB(pid));
    }
    if (resultCode(complete, 0) != Contract::DownloadResult::Success) {
        std::fprintf(stderr, "download failed: %s\n", qPrintable(item.GetText(1).value()));
        return run;
    }
    run.ms = clock.elapsed();
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 256;
    const double percent = argc > 2 ? QByteArray(argv[2]).toDouble() : 2.0;
    const qint64 size = megabytes * 1024 * 1024;

    QTemporaryDir dir;
    const QString oldPath = dir.path() + u"/old.bin"_s;
    const QString newPath = dir.path() + u"/new.bin"_s;
    QByteArray payload = randomBytes(size);
    QFile oldFile(oldPath);
    if (!oldFile.open(QIODevice::WriteOnly) || oldFile.write(payload) != size)
        return 1;
    oldFile.close();
    const qint64 runs = std::max<qint64>(1, qint64(double(size) * percent / 100.0) / RunBytes);
    for (qint64 i = 0; i < runs; ++i)
        payload.replace(i * (size / runs) + (size / runs - RunBytes) / 2, RunBytes,
                        randomBytes(RunBytes));
    QFile newFile(newPath);
    if (!newFile.open(QIODevice::WriteOnly) || newFile.write(payload) != size)
        return 1;
    newFile.close();

    // The vendor's side: palvane-feed makes the delta.
    const QString scratch = dir.path() + u"/scratch.json"_s;
    const QString tool = QStringLiteral(PALVANE_FEED_BINARY);
    if (QProcess::execute(tool, {u"add"_s, scratch, newPath, u"--product"_s,
                                 QString::fromUtf16(TestCatalog::Code), u"--id"_s, u"u1"_s,
                                 u"--name"_s, u"Bench"_s, u"--version"_s, u"1.0"_s})
        != 0)
        return 1;
    QElapsedTimer making;
    making.start();
    if (QProcess::execute(tool, {u"delta"_s, scratch, u"--id"_s, u"u1"_s, oldPath}) != 0)
        return 1;
    const qint64 makingMs = making.elapsed();
    QFile scratchFile(scratch);
    if (!scratchFile.open(QIODevice::ReadOnly))
        return 1;
    const QJsonObject made = QJsonDocument::fromJson(scratchFile.readAll())[u"updates"_s][0].toObject();
    QJsonObject delta = made.value(u"deltas"_s)[0].toObject();
    const qint64 deltaSize = delta.value(u"size"_s).toInteger();
    delta[u"url"_s] = TestCatalog::fileUrl(newPath + u".from-"_s
                                           + delta.value(u"fromSha256"_s).toString().left(12)
                                           + u".zst"_s)
                          .toString();

    HttpTestServer server;
    if (!server.startListening())
        return 1;
    const QUrl http = server.url(u"/bench.bin"_s);
    server.setRoute(http.path(), {HttpTestServer::Kind::Serve, payload, {}, 0});
    payload.clear();
    payload.squeeze();

    QJsonObject update = TestCatalog::update(u"u1"_s, u"Bench"_s, {}, http);
    update[u"size"_s] = double(size);
    update[u"sha256"_s] = made.value(u"sha256"_s);
    Run whole;
    {
        AgentFixture fixture;
        whole = download(fixture, update);
    }
    Run patched;
    {
        AgentFixture fixture;
        QDir().mkpath(fixture.catalog.installDir());
        if (!QFile::copy(oldPath, fixture.catalog.installDir() + u"/u1.bin"_s))
            return 1;
        // Nothing at the payload's address: only the delta can make it.
        update[u"url"_s] = TestCatalog::fileUrl(dir.path() + u"/gone.bin"_s).toString();
        update[u"deltas"_s] = QJsonArray{delta};
        patched = download(fixture, update);
    }
    if (whole.ms < 0 || patched.ms < 0)
        return 1;
    std::printf("payload %lld MiB, %.1f %% changed in %lld runs of 64 KiB\n", qlonglong(megabytes),
                percent, qlonglong(runs));
    std::printf("delta by palvane-feed: %lld bytes = %.2f %% of the payload (goal 5 %%), made in %lld ms\n",
                qlonglong(deltaSize), 100.0 * double(deltaSize) / double(size), qlonglong(makingMs));
    std::printf("agent, whole payload over loopback http: %lld ms, RssAnon %lld -> peak %lld KiB (+%lld)\n",
                qlonglong(whole.ms), qlonglong(whole.rssBefore), qlonglong(whole.rssPeak),
                qlonglong(whole.rssPeak - whole.rssBefore));
    std::printf("agent, delta (hash in place + decode): %lld ms = %.2fx the whole download, "
                "RssAnon %lld -> peak %lld KiB (+%lld, goal +65536)\n",
                qlonglong(patched.ms), double(patched.ms) / double(std::max<qint64>(whole.ms, 1)),
                qlonglong(patched.rssBefore), qlonglong(patched.rssPeak),
                qlonglong(patched.rssPeak - patched.rssBefore));
    return 0;
}
