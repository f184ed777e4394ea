// Download rate of the agent without a rate limit, over file:// and over
// loopback HTTP, timed from OnDownloadBegin to OnDownloadComplete as a
// client sees them. Not part of the test run:
//   bench_agent_rates [megabytes]     (default 256)

#include "AgentFixture.h"
#include "HttpTestServer.h"
#include "ItemEvents.h"

#include <QCoreApplication>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// An empty address means: from a file.
double measure(const QString &label, QUrl url, const QByteArray &content)
{
    AgentFixture fixture;
    if (url.isEmpty()) {
        QFile file(fixture.catalog.payloadDir() + u"/payload.bin"_s);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return -1;
        url = fixture.catalog.payloadUrl(u"payload.bin"_s);
    }
    fixture.catalog.writeProduct({TestCatalog::update(u"u1"_s, u"Bench"_s, content, url)});
    if (!fixture.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(fixture.error()));
        return -1;
    }
    const QString item = fixture.client->item(fixture.client->getUpdates(fixture.code()), 1);
    const auto events = fixture.events(item);
    fixture.client->execute(item);
    if (!events->waitForComplete(300000) || events->completeCode() != 0) {
        std::fprintf(stderr, "%s: download failed: %s\n", qPrintable(label),
                     qPrintable(fixture.client->text(item)));
        return -1;
    }
    const qint64 ms = events->events().last().atMs - events->events().first().atMs;
    const double rate = double(content.size()) / (1024.0 * 1024.0) / (double(std::max<qint64>(ms, 1)) / 1000.0);
    std::printf("%-28s %6lld MB in %6lld ms: %8.1f MB/s (%zu progress events)\n", qPrintable(label),
                qlonglong(content.size() >> 20), qlonglong(ms), rate,
                size_t(events->progress().size()));
    return rate;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 256;
    QByteArray content(megabytes * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); i += 4096)
        content[i] = char(i / 4096); // distinct pages, cheap to make

    HttpTestServer server;
    if (!server.startListening())
        return 1;
    server.setRoute(u"/bench.bin"_s, {HttpTestServer::Kind::Serve, content, {}, 0});

    const bool ok = measure(u"file://"_s, QUrl(), content) >= 0
                    && measure(u"http://127.0.0.1 (loopback)"_s, server.url(u"/bench.bin"_s), content) >= 0;
    return ok ? 0 : 1;
}
