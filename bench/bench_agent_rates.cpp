// SPDX-License-Identifier: GPL-3.0-or-later
// Download rate of the agent without a rate limit, each against a floor
// measured in the same run, as a client sees it (OnDownloadBegin to
// OnDownloadComplete):
//   file://   against a plain loop that reads, writes and hashes (OpenSSL)
//             the same file in 256 KiB chunks;
//   http://   from a loopback server, against a plain loop that receives,
//             writes and hashes on one thread, and `curl -o /dev/null`
//             fetching the same address; with the agent's CPU time per GiB.
// Not part of the test run:
//   bench_agent_rates [megabytes] [rounds]     (default 1024 and 3)
// Each figure is the best of its rounds; the ratios are of the best figures.

#include "AgentFixture.h"
#include "HttpTestServer.h"
#include "base/Sha256.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <cstdio>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 ChunkBytes = 256 * 1024;

double megabytesPerSecond(qint64 bytes, qint64 ms)
{
    return double(bytes) / (1024.0 * 1024.0) / (double(std::max<qint64>(ms, 1)) / 1000.0);
}

void report(const QString &label, qint64 bytes, qint64 ms, double rate)
{
    std::printf("  %-34s %6lld MB in %6lld ms: %8.1f MB/s\n", qPrintable(label),
                qlonglong(bytes >> 20), qlonglong(ms), rate);
}

// The floor for file://: what any program that copies and hashes does.
double floorLoop(const QString &source, const QString &folder, const QByteArray &sha256)
{
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    const QByteArray target = QFile::encodeName(folder + u"/floor.out"_s);
    const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0)
        return -1;
    QByteArray buffer(ChunkBytes, Qt::Uninitialized);
    Sha256 hash;
    qint64 total = 0;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), size_t(buffer.size()));
        if (n <= 0)
            break;
        if (::write(out, buffer.constData(), size_t(n)) != n)
            return -1;
        hash.addData(QByteArrayView(buffer.constData(), n));
        total += n;
    }
    const bool same = hash.result() == sha256;
    const qint64 ms = clock.elapsed();
    ::close(in);
    ::close(out);
    ::unlink(target.constData());
    if (!same)
        return -1;
    const double rate = megabytesPerSecond(total, ms);
    report(u"floor: read/write/OpenSSL hash"_s, total, ms, rate);
    return rate;
}

// The one-thread floor for http://: receive, write and hash in turn.
double httpFloorLoop(const QUrl &url, const QString &folder, qint64 size, const QByteArray &sha256)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(url.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QByteArray target = QFile::encodeName(folder + u"/floor.out"_s);
    const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    QElapsedTimer clock;
    clock.start();
    const QByteArray request = "GET " + url.path().toLatin1() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                               "Connection: close\r\n\r\n";
    if (socket < 0 || out < 0 || ::connect(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::send(socket, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size())
        return -1;
    QByteArray buffer(ChunkBytes, Qt::Uninitialized);
    QByteArray head;
    bool inBody = false;
    Sha256 hash;
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::recv(socket, buffer.data(), size_t(buffer.size()), 0);
        if (n <= 0)
            break;
        qsizetype from = 0;
        if (!inBody) {
            const qsizetype before = head.size();
            head.append(buffer.constData(), n);
            const qsizetype end = head.indexOf("\r\n\r\n");
            if (end < 0)
                continue;
            from = end + 4 - before;
            inBody = true;
        }
        if (::write(out, buffer.constData() + from, size_t(n - from)) != n - from)
            return -1;
        hash.addData(QByteArrayView(buffer.constData() + from, n - from));
        total += n - from;
    }
    const bool same = total == size && hash.result() == sha256;
    const qint64 ms = clock.elapsed();
    ::close(socket);
    ::close(out);
    ::unlink(target.constData());
    if (!same)
        return -1;
    const double rate = megabytesPerSecond(total, ms);
    report(u"floor: recv/write/OpenSSL hash"_s, total, ms, rate);
    return rate;
}

// User and system time of a process so far, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile file(u"/proc/"_s + QString::number(pid) + u"/stat"_s);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    // The fields after the command's closing parenthesis; utime and stime
    // are the 12th and 13th of them.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong())
           / double(::sysconf(_SC_CLK_TCK));
}

// The floor for http://: curl's own figure, which leaves out its start-up.
double curlFloor(const QUrl &url, qint64 size)
{
    QProcess curl;
    curl.start(u"curl"_s, {u"-s"_s, u"-f"_s, u"-o"_s, u"/dev/null"_s, u"-w"_s,
                           u"%{size_download} %{time_total}"_s, url.toString()});
    if (!curl.waitForFinished(300000) || curl.exitCode() != 0) {
        std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
        return -1;
    }
    const QList<QByteArray> figures = curl.readAllStandardOutput().trimmed().split(' ');
    if (figures.size() != 2 || figures.first().toLongLong() != size)
        return -1;
    const qint64 ms = qint64(figures.last().toDouble() * 1000.0);
    const double rate = megabytesPerSecond(size, ms);
    report(u"floor: curl -o /dev/null"_s, size, ms, rate);
    return rate;
}

double agent(const QString &label, QJsonObject update, const QUrl &url, qint64 size,
             double *cpuPerGiB = nullptr)
{
    AgentFixture fixture;
    update.insert(u"url"_s, url.toString());
    fixture.catalog.writeProduct({update});
    if (!fixture.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(fixture.error()));
        return -1;
    }
    const QString path = itemPath(fixture.updates().Item(1));
    Proxy::UpdateItem item = fixture.item(path);
    Proxy::UpdateItemEvents events(fixture.agent->uniqueName(), path, fixture.connection());
    QSignalSpy begin(&events, &Proxy::UpdateItemEvents::OnDownloadBegin);
    QSignalSpy complete(&events, &Proxy::UpdateItemEvents::OnDownloadComplete);
    const double cpuBefore = cpuSeconds(fixture.agent->processId());
    item.Execute().waitForFinished();
    QElapsedTimer clock;
    if (begin.wait(300000))
        clock.start();
    if (!clock.isValid() || resultCode(complete, 300000) != Contract::DownloadResult::Success) {
        std::fprintf(stderr, "%s: download failed: %s\n", qPrintable(label),
                     qPrintable(item.GetText(1).value()));
        return -1;
    }
    const qint64 ms = clock.elapsed();
    const double cpu = (cpuSeconds(fixture.agent->processId()) - cpuBefore)
                       / (double(size) / double(1 << 30));
    const double rate = megabytesPerSecond(size, ms);
    report(label, size, ms, rate);
    std::printf("  %-34s %.2f s of CPU per GiB\n", "", cpu);
    if (cpuPerGiB)
        *cpuPerGiB = *cpuPerGiB > 0 ? std::min(*cpuPerGiB, cpu) : cpu;
    return rate;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const int rounds = argc > 2 ? QByteArray(argv[2]).toInt() : 3;
    QByteArray content(megabytes * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); i += 4096)
        content[i] = char(i / 4096); // distinct pages, cheap to make

    QTemporaryDir dir;
    const QString payload = dir.path() + u"/payload.bin"_s;
    {
        QFile file(payload);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()
            || !file.flush())
            return 1;
        // On disk now, so its write-back does not run during a measurement.
        ::fsync(file.handle());
    }
    const QByteArray sha256 = Sha256::hash(content);
    QJsonObject update = TestCatalog::update(u"u1"_s, u"Bench"_s, {}, {});
    update.insert(u"size"_s, double(content.size()));
    update.insert(u"sha256"_s, QString::fromLatin1(sha256.toHex()));

    HttpTestServer server;
    if (!server.startListening())
        return 1;
    const QUrl http = server.url(u"/bench.bin"_s);
    server.setRoute(http.path(), {HttpTestServer::Kind::Serve, content, {}, 0});

    double best[5] = {0, 0, 0, 0, 0};
    double httpCpu = 0;
    for (int round = 1; round <= rounds; ++round) {
        std::printf("round %d\n", round);
        const double rates[5] = {
            floorLoop(payload, dir.path(), sha256),
            agent(u"agent: file://"_s, update, QUrl::fromLocalFile(payload), content.size()),
            curlFloor(http, content.size()),
            agent(u"agent: http://127.0.0.1 (loopback)"_s, update, http, content.size(), &httpCpu),
            httpFloorLoop(http, dir.path(), content.size(), sha256),
        };
        for (int i = 0; i < 5; ++i) {
            if (rates[i] < 0)
                return 1;
            best[i] = std::max(best[i], rates[i]);
        }
    }
    std::printf("best of %d: file:// %.1f MB/s = %.2fx the floor of %.1f MB/s (goal 1.0x)\n", rounds,
                best[1], best[1] / best[0], best[0]);
    std::printf("best of %d: http:// %.1f MB/s = %.2fx curl's %.1f MB/s (goal 0.6x)\n", rounds,
                best[3], best[3] / best[2], best[2]);
    std::printf("best of %d: http:// %.1f MB/s = %.2fx the one-thread loop's %.1f MB/s (goal 1.5x), "
                "%.2f s of CPU per GiB at best\n",
                rounds, best[3], best[3] / best[4], best[4], httpCpu);
    return 0;
}
