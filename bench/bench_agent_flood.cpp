// SPDX-License-Identifier: GPL-3.0-or-later
// Connections flood the agent with GetUpdates calls, ask for every item of
// what they may hold, then leave. Printed: the agent's RSS against its idle
// figure, and the slowest IsConnected answer a second client gets while idle
// (the floor), during the flood and while the flooder's objects are freed.
// The flooder is this program again in a process of its own, so the two
// clients share nothing but the bus. Not part of the test run:
//   bench_agent_flood [calls] [updates] [connections]
// (default 100000 calls, 500 updates, 5 connections: one more than it takes
// to fill what the agent holds for all its clients, its worst case).

#include "AgentFixture.h"
#include "service/Contract.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

// Calls the flooder keeps in flight, as a client that does not wait would.
constexpr int Window = 64;
constexpr int WaitMs = 600000;

double rssMegabytes(uint pid)
{
    const qint64 kib = procStatusKiB(pid, "VmRSS");
    return kib < 0 ? -1 : double(kib) / 1024.0;
}

// A line from the other process on stdin.
bool waitForGo()
{
    char go[8];
    return std::fgets(go, sizeof go, stdin) != nullptr;
}

// The flooder's side: connects `connections` times, says so and waits for a
// line on stdin (so that starting a process is not measured), makes the
// calls spread over its connections, prints a line, waits again, asks every
// collection for all its items, prints a second line and leaves.
int flood(const QString &address, const QString &code, int calls, int updates, int connections)
{
    QList<QDBusConnection> buses;
    bool connected = true;
    for (int c = 0; c < connections; ++c) {
        buses.append(QDBusConnection::connectToBus(address, u"flood"_s + QString::number(c)));
        connected = connected && buses.last().isConnected();
    }
    std::printf("%s\n", connected ? "connected" : "no bus");
    std::fflush(stdout);
    if (!connected || !waitForGo())
        return 1;
    // Calls in flight, each with the connection it went out on.
    QList<QPair<int, QDBusPendingCall>> pending;
    QList<QPair<int, QString>> held;
    int refused = 0;
    int otherErrors = 0;
    int answered = 0;
    const auto settle = [&](const QPair<int, QDBusPendingCall> &call) {
        QDBusPendingCall reply = call.second;
        reply.waitForFinished();
        if (!reply.isError()) {
            ++answered;
            const QDBusMessage message = reply.reply();
            if (message.arguments().value(0).canConvert<QDBusObjectPath>())
                held.append({call.first, message.arguments().value(0).value<QDBusObjectPath>().path()});
        } else if (reply.error().name() == QStringView(Contract::Error::LimitExceeded)) {
            ++refused;
        } else {
            ++otherErrors;
        }
    };
    const auto send = [&](int c, const QString &path, const char16_t *interface, const QString &method,
                          const QVariant &argument) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QString::fromUtf16(Contract::ServiceName), path, QString::fromUtf16(interface), method);
        message.setArguments({argument});
        pending.append({c, buses[c].asyncCall(message)});
        if (pending.size() >= Window)
            settle(pending.takeFirst());
    };
    const auto settleAll = [&] {
        for (const QPair<int, QDBusPendingCall> &call : std::as_const(pending))
            settle(call);
        pending.clear();
    };
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < calls; ++i)
        send(i % connections, QString::fromUtf16(Contract::ServicePath), Contract::ServiceInterface,
             u"GetUpdates"_s, code);
    settleAll();
    std::printf("%d GetUpdates over %d connection(s) in %lld ms: %lld collections, %d refused "
                "(LimitExceeded), %d other errors\n",
                calls, connections, qlonglong(timer.elapsed()), qlonglong(held.size()), refused,
                otherErrors);
    std::fflush(stdout);
    if (!waitForGo())
        return 1;
    timer.restart();
    const QList<QPair<int, QString>> collections = std::exchange(held, {});
    answered = refused = 0;
    for (const auto &[c, collection] : collections) {
        for (int index = 1; index <= updates; ++index)
            send(c, collection, Contract::CollectionInterface, u"Item"_s, index);
    }
    settleAll();
    std::printf("then Item(1..%d) on each collection in %lld ms: %d items, %d refused "
                "(LimitExceeded), %d other errors\n",
                updates, qlonglong(timer.elapsed()), answered, refused, otherErrors);
    std::fflush(stdout);
    return otherErrors == 0 ? 0 : 1;
}

struct Latency
{
    int calls = 0;
    double slowestMs = 0;
    double p99Ms = 0;
    int failed = 0;
};

// IsConnected from the second client, over and over until `stop` says so.
Latency probe(Proxy::Agent &agent, const QString &code, const std::function<bool()> &stop)
{
    Latency result;
    QList<double> samples;
    QElapsedTimer timer;
    do {
        timer.start();
        if (answer(agent.IsConnected(code)) != Contract::True)
            ++result.failed;
        samples.append(double(timer.nsecsElapsed()) / 1e6);
        QThread::msleep(2);
    } while (!stop());
    std::sort(samples.begin(), samples.end());
    result.calls = int(samples.size());
    result.slowestMs = samples.last();
    result.p99Ms = samples.at(samples.size() * 99 / 100);
    return result;
}

void printLatency(const char *phase, const Latency &latency, const Latency &floor)
{
    std::printf("%-28s IsConnected slowest %7.2f ms (%4.1fx the floor), 99%% under %6.2f ms, "
                "%5d calls%s\n",
                phase, latency.slowestMs, latency.slowestMs / floor.slowestMs, latency.p99Ms,
                latency.calls, latency.failed ? " - SOME CALLS FAILED" : "");
}

// The flooder's next line, or an empty one once it is gone.
QByteArray lineFrom(QProcess &flooder)
{
    const QDeadlineTimer deadline(WaitMs);
    while (!flooder.canReadLine() && flooder.state() == QProcess::Running && !deadline.hasExpired())
        flooder.waitForReadyRead(1);
    return flooder.readLine().trimmed();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 7 && QByteArray(argv[1]) == "--flood") {
        return flood(QString::fromUtf8(argv[2]), QString::fromUtf8(argv[3]),
                     QByteArray(argv[4]).toInt(), QByteArray(argv[5]).toInt(),
                     QByteArray(argv[6]).toInt());
    }
    const int calls = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;
    const int updates = argc > 2 ? QByteArray(argv[2]).toInt() : 500;
    const int connections = argc > 3 ? std::max(1, QByteArray(argv[3]).toInt()) : 5;

    AgentFixture fixture;
    const QByteArray content = fixture.catalog.makePayload(u"payload.bin"_s, 64);
    QJsonArray entries;
    for (int i = 1; i <= updates; ++i) {
        entries.append(TestCatalog::update(u"u"_s + QString::number(i), u"Update "_s + QString::number(i),
                                           content, fixture.catalog.payloadUrl(u"payload.bin"_s)));
    }
    fixture.catalog.writeProduct(entries);
    if (!fixture.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(fixture.error()));
        return 1;
    }
    Proxy::Agent &client = *fixture.agentInterface;
    const QString code = fixture.code();
    const uint pid = fixture.connection().interface()->servicePid(fixture.agent->uniqueName()).value();

    QElapsedTimer clock;
    clock.start();
    const Latency floor = probe(client, code, [&] { return clock.elapsed() >= 5000; });
    const double idleRss = rssMegabytes(pid);
    std::printf("agent idle: RSS %.1f MB; %d updates in the product\n", idleRss, updates);
    printLatency("idle, 5 s (the floor)", floor, floor);

    QProcess flooder;
    flooder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    flooder.start(QCoreApplication::applicationFilePath(),
                  {u"--flood"_s, fixture.bus->address(), code, QString::number(calls),
                   QString::number(updates), QString::number(connections)});
    if (!flooder.waitForStarted() || lineFrom(flooder) != "connected") {
        std::fprintf(stderr, "the flooder did not start\n");
        return 1;
    }
    flooder.write("go\n");
    const auto flooderSpoke = [&] {
        flooder.waitForReadyRead(0);
        return flooder.canReadLine() || flooder.state() != QProcess::Running;
    };
    const Latency duringCalls = probe(client, code, flooderSpoke);
    const QByteArray callsLine = lineFrom(flooder);
    const double callsRss = rssMegabytes(pid);
    flooder.write("go\n");
    const Latency duringItems = probe(client, code, flooderSpoke);
    const QByteArray itemsLine = lineFrom(flooder);
    const double itemsRss = rssMegabytes(pid);
    clock.restart();
    const Latency leaving = probe(client, code, [&] { return clock.elapsed() >= 3000; });
    flooder.waitForFinished(WaitMs);

    std::printf("flood: %s\n", callsLine.constData());
    std::printf("agent after the GetUpdates calls: RSS %.1f MB, %+.1f MB over idle (goal: under 25)\n",
                callsRss, callsRss - idleRss);
    std::printf("%s; RSS %.1f MB, %+.1f MB over idle (goal: at most 64)\n",
                itemsLine.constData(), itemsRss, itemsRss - idleRss);
    printLatency("during the GetUpdates calls", duringCalls, floor);
    printLatency("during the Item calls", duringItems, floor);
    printLatency("3 s from the flooder leaving", leaving, floor);
    std::printf("goal for the slowest answer: under 100 ms\n");
    std::printf("agent 3 s after the flooder left: RSS %.1f MB; items still exported: %lld\n",
                rssMegabytes(pid),
                qlonglong(introspect(fixture.connection(),
                                     QString::fromUtf16(Contract::ServicePath) + u"/item"_s)
                              .count(u"<node name"_s)));
    const bool ok = flooder.exitStatus() == QProcess::NormalExit && flooder.exitCode() == 0
                    && floor.failed + duringCalls.failed + duringItems.failed + leaving.failed == 0
                    && fixture.agent->log().contains(u"left the bus; freeing"_s);
    return ok ? 0 : 1;
}
