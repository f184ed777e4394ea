// SPDX-License-Identifier: GPL-3.0-or-later
// One connection floods the agent with GetUpdates calls (and asks for every
// item of what it may hold), then leaves. Printed: the agent's RSS against
// its idle figure, and the slowest IsConnected answer a second client gets
// while idle (the floor), during the flood and while the flooder's objects
// are freed. Not part of the test run:
//   bench_agent_flood [calls] [updates]     (default 100000 calls, 500 updates)

#include "AgentFixture.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Calls the flooder keeps in flight, as a client that does not wait would.
constexpr int Window = 64;

double rssMegabytes(uint pid)
{
    QFile status(u"/proc/"_s + QString::number(pid) + u"/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').constFirst().toDouble() / 1024.0;
    }
    return -1;
}

struct Latency
{
    int calls = 0;
    double slowestMs = 0;
    double p99Ms = 0;
    int failed = 0;
};

// IsConnected from the second client, over and over until `stop` says so.
Latency probe(const AgentClient &client, const QString &code, const std::function<bool()> &stop)
{
    Latency result;
    QList<double> samples;
    QElapsedTimer timer;
    do {
        timer.start();
        if (client.isConnected(code) != -1)
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

struct Flood
{
    uint agentPid = 0;
    double rssAfterCalls = 0;
    int collections = 0;
    int refused = 0;
    int otherErrors = 0;
    int items = 0;
    qint64 ms = 0;
};

void flood(const QDBusConnection &bus, const QString &code, int calls, int updates, Flood *out)
{
    const AgentClient flooder(bus);
    QElapsedTimer timer;
    timer.start();
    QList<QDBusPendingCall> pending;
    QStringList held;
    const auto settle = [&](const QDBusPendingCall &call) {
        QDBusPendingReply<QDBusObjectPath> reply = call;
        reply.waitForFinished();
        if (reply.isValid())
            held.append(reply.value().path());
        else if (reply.error().name() == u"com.palvane.UpdateService.Error.LimitExceeded"_s)
            ++out->refused;
        else
            ++out->otherErrors;
    };
    for (int i = 0; i < calls; ++i) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QString::fromUtf16(AgentClient::ServiceName), QString::fromUtf16(AgentClient::ServicePath),
            QString::fromUtf16(AgentClient::ServiceInterface), u"GetUpdates"_s);
        message.setArguments({code});
        pending.append(bus.asyncCall(message));
        if (pending.size() >= Window)
            settle(pending.takeFirst());
    }
    for (const QDBusPendingCall &call : std::as_const(pending))
        settle(call);
    out->collections = int(held.size());
    out->rssAfterCalls = rssMegabytes(out->agentPid);
    for (const QString &collection : std::as_const(held)) {
        for (int index = 1; index <= updates; ++index)
            out->items += !flooder.item(collection, index).isEmpty();
    }
    out->ms = timer.elapsed();
}

void printLatency(const char *phase, const Latency &latency, const Latency &floor)
{
    std::printf("%-28s IsConnected slowest %7.2f ms (%4.1fx the floor), 99%% under %6.2f ms, "
                "%5d calls%s\n",
                phase, latency.slowestMs, latency.slowestMs / floor.slowestMs, latency.p99Ms,
                latency.calls, latency.failed ? " - SOME CALLS FAILED" : "");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int calls = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;
    const int updates = argc > 2 ? QByteArray(argv[2]).toInt() : 500;

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
    const AgentClient &client = *fixture.client;
    const QString code = fixture.code();
    const uint pid = client.bus().interface()->servicePid(fixture.agent->uniqueName()).value();

    QElapsedTimer idle;
    idle.start();
    const Latency floor = probe(client, code, [&] { return idle.elapsed() >= 5000; });
    const double idleRss = rssMegabytes(pid);
    std::printf("agent idle: RSS %.1f MB; %d updates in the product\n", idleRss, updates);
    printLatency("idle, 5 s (the floor)", floor, floor);

    Flood result;
    result.agentPid = pid;
    Latency during;
    QString floodName;
    {
        // Its last reference must go for the connection to close.
        const QDBusConnection floodBus = fixture.bus->connect(u"flood"_s);
        floodName = floodBus.name();
        std::atomic<bool> flooding = true;
        std::unique_ptr<QThread> flooder(QThread::create([&] {
            flood(floodBus, code, calls, updates, &result);
            flooding = false;
        }));
        flooder->start();
        during = probe(client, code, [&] { return !flooding; });
        flooder->wait();
    }
    const double floodRss = rssMegabytes(pid);
    std::printf("flood: %d GetUpdates: %d collections, %d refused (LimitExceeded), %d other errors\n",
                calls, result.collections, result.refused, result.otherErrors);
    std::printf("agent after the GetUpdates calls: RSS %.1f MB, %+.1f MB over idle (goal: under 25)\n",
                result.rssAfterCalls, result.rssAfterCalls - idleRss);
    std::printf("then Item(1..%d) on each collection: %d items; RSS %.1f MB, %+.1f MB over idle\n",
                updates, result.items, floodRss, floodRss - idleRss);
    std::printf("flood and items took %lld ms\n", qlonglong(result.ms));
    printLatency("during the flood", during, floor);

    QElapsedTimer leaving;
    fixture.bus->disconnect(floodName);
    leaving.start();
    const Latency after = probe(client, code, [&] { return leaving.elapsed() >= 3000; });
    printLatency("3 s from the flooder leaving", after, floor);
    std::printf("goal for the slowest answer: under 100 ms\n");
    std::printf("agent after the flooder left: RSS %.1f MB\n", rssMegabytes(pid));
    std::printf("items still exported then: %lld\n",
                qlonglong(client.introspect(u"/com/palvane/UpdateService/item"_s).count(u"<node name"_s)));
    const bool freed = fixture.agent->log().contains(u"left the bus; freeing"_s);
    if (!freed)
        std::printf("the agent never logged the flooder leaving\n");
    return result.otherErrors == 0 && floor.failed + during.failed + after.failed == 0 && freed ? 0 : 1;
}
