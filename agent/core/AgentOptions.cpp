#include "AgentOptions.h"

#include "InstallRecord.h"
#include "Products.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 MaxFeedTimeoutMs = 20000;

bool readSeconds(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 *ms)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const double seconds = parser.value(option).toDouble(&ok);
    if (!ok || seconds < 0 || seconds > 86400.0 * 365) {
        std::fprintf(stderr, "--%s wants a number of seconds, not \"%s\"\n",
                     qPrintable(option.names().constFirst()), qPrintable(parser.value(option)));
        return false;
    }
    *ms = qint64(seconds * 1000.0);
    return true;
}

} // namespace

bool AgentOptions::parse(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Reference update agent: serves com.palvane.UpdateService on the session bus."_s);
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption products(u"products"_s, u"Read product files from DIR only."_s,
                                      u"DIR"_s);
    const QCommandLineOption rateLimit(u"rate-limit"_s,
                                       u"Slow every download to KBPS kilobytes a second."_s,
                                       u"KBPS"_s);
    const QCommandLineOption idle(u"idle-timeout"_s,
                                  u"Exit after SECONDS with no client (default 60, 0 never)."_s,
                                  u"SECONDS"_s);
    const QCommandLineOption stall(u"stall-timeout"_s,
                                   u"Fail a download after SECONDS without data (default 30)."_s,
                                   u"SECONDS"_s);
    const QCommandLineOption maxAge(u"feed-max-age"_s,
                                    u"Fetch a feed again after SECONDS (default 300)."_s,
                                    u"SECONDS"_s);
    const QCommandLineOption feedTimeout(u"feed-timeout"_s,
                                         u"Give up fetching a feed after SECONDS (default 10)."_s,
                                         u"SECONDS"_s);
    const QCommandLineOption state(u"state-file"_s,
                                   u"Record installed versions in FILE (default $XDG_STATE_HOME/palvane/installed.json)."_s,
                                   u"FILE"_s);
    parser.addOptions({products, rateLimit, idle, stall, maxAge, feedTimeout, state});
    parser.process(app);

    productFolders = parser.isSet(products) ? QStringList{parser.value(products)}
                                            : Products::defaultFolders();
    stateFile = parser.isSet(state) ? parser.value(state) : InstallRecord::defaultPath();
    if (parser.isSet(rateLimit)) {
        bool ok = false;
        const qint64 kbps = parser.value(rateLimit).toLongLong(&ok);
        if (!ok || kbps < 0 || kbps > 100'000'000) {
            std::fprintf(stderr, "--rate-limit wants a whole number of kilobytes a second\n");
            return false;
        }
        rateLimitBytes = kbps * 1024;
    }
    qint64 idleMs = idleTimeoutMs;
    qint64 feedMs = feedTimeoutMs;
    if (!readSeconds(parser, idle, &idleMs) || !readSeconds(parser, stall, &stallTimeoutMs)
        || !readSeconds(parser, maxAge, &feedMaxAgeMs) || !readSeconds(parser, feedTimeout, &feedMs))
        return false;
    idleTimeoutMs = int(std::min<qint64>(idleMs, std::numeric_limits<int>::max()));
    // Past the client's 25 s call timeout the answer would reach nobody.
    if (feedMs > MaxFeedTimeoutMs) {
        std::fprintf(stderr, "--feed-timeout is at most %d seconds: clients wait 25 for an answer\n",
                     int(MaxFeedTimeoutMs / 1000));
        return false;
    }
    feedTimeoutMs = int(std::max<qint64>(feedMs, 1));
    stallTimeoutMs = std::max<qint64>(stallTimeoutMs, 1);
    return true;
}
