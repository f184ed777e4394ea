// SPDX-License-Identifier: GPL-3.0-or-later
#include "AgentOptions.h"

#include "base/AgentLog.h"
#include "base/StateFile.h"
#include "base/XdgDirs.h"
#include "feeds/Products.h"
#include "service/Contract.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSettings>

#include <algorithm>
#include <cstdio>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

// Each parser stores the value and returns an empty text, or leaves the
// options alone and returns what the value should have been.
using Apply = QString (*)(AgentOptions &, const QString &);

template <auto Field, qint64 MinMs, qint64 MaxSeconds = 86400 * 365>
QString seconds(AgentOptions &options, const QString &text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !(value >= 0) || value > double(MaxSeconds))
        return u"a number of seconds from 0 to "_s + QString::number(MaxSeconds);
    using Ms = std::remove_reference_t<decltype(options.*Field)>;
    const qint64 ms = std::max<qint64>(qint64(value * 1000.0), MinMs);
    options.*Field = Ms(std::min<qint64>(ms, std::numeric_limits<Ms>::max()));
    return {};
}

template <auto Field>
QString kilobytesPerSecond(AgentOptions &options, const QString &text)
{
    bool ok = false;
    const qint64 kbps = text.toLongLong(&ok);
    if (!ok || kbps < 0 || kbps > 100'000'000)
        return u"a whole number of KiB a second from 0 to 100000000"_s;
    options.*Field = kbps * 1024;
    return {};
}

template <auto Field, int Max>
QString count(AgentOptions &options, const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 0 || value > Max)
        return u"a whole number from 0 to "_s + QString::number(Max);
    options.*Field = value;
    return {};
}

// A setting as a number that grows with what it allows, for locks: 0, no
// limit or never, is the most when zeroIsMost.
template <auto Field, bool ZeroIsMost>
qint64 rank(const AgentOptions &options)
{
    const qint64 value = options.*Field;
    return ZeroIsMost && value == 0 ? std::numeric_limits<qint64>::max() : value;
}

QString productsFolder(AgentOptions &options, const QString &text)
{
    if (!QFileInfo(text).isDir())
        qCWarning(lcFeeds).noquote() << "folder" << AgentLog::cut(text) << "does not exist";
    options.productFolders = {text};
    return {};
}

QString stateFile(AgentOptions &options, const QString &text)
{
    options.stateFile = text;
    return {};
}

QString machineIdFile(AgentOptions &options, const QString &text)
{
    options.machineIdFile = text;
    return {};
}

struct Option
{
    QString name; // --name on the command line, name= in a config file
    QString valueName;
    QString help;
    // Paths stay on the command line: the XDG folders already place them
    // per user, and a machine-wide value would make users share one file.
    bool inConfigFile;
    Apply apply;
    qint64 (*rank)(const AgentOptions &) = nullptr; // set for those a lock can bound
};

// What the system file's [locked] group bounds: the most each setting may
// be, and the text and file that set it.
struct Lock
{
    qint64 most;
    QString text;
    QString file;
};
using Locks = QHash<QString, Lock>;

constexpr QStringView LockedGroup = u"locked/";

const QList<Option> &options()
{
    static const QList<Option> table = {
        {u"products"_s, u"DIR"_s, u"Read product files from DIR only."_s, false, &productsFolder},
        {u"rate-limit"_s, u"KBPS"_s, u"Slow every download to KBPS KiB a second, each on its own."_s,
         true, &kilobytesPerSecond<&AgentOptions::rateLimitBytes>,
         &rank<&AgentOptions::rateLimitBytes, true>},
        {u"rate-limit-total"_s, u"KBPS"_s, u"Slow all downloads together to KBPS KiB a second."_s,
         true, &kilobytesPerSecond<&AgentOptions::rateLimitTotalBytes>,
         &rank<&AgentOptions::rateLimitTotalBytes, true>},
        {u"idle-timeout"_s, u"SECONDS"_s, u"Exit after SECONDS with no client (default 60, 0 never)."_s,
         true, &seconds<&AgentOptions::idleTimeoutMs, 0>, &rank<&AgentOptions::idleTimeoutMs, true>},
        {u"stall-timeout"_s, u"SECONDS"_s, u"Fail a download after SECONDS without data (default 30)."_s,
         true, &seconds<&AgentOptions::stallTimeoutMs, 1>,
         &rank<&AgentOptions::stallTimeoutMs, false>},
        {u"retries"_s, u"COUNT"_s,
         u"Try a download again up to COUNT times after transient failures (default 5, 0 to 20)."_s,
         true, &count<&AgentOptions::retries, 20>, &rank<&AgentOptions::retries, false>},
        {u"feed-max-age"_s, u"SECONDS"_s, u"Fetch a feed again after SECONDS (default 300)."_s, true,
         &seconds<&AgentOptions::feedMaxAgeMs, 0>, &rank<&AgentOptions::feedMaxAgeMs, false>},
        // Past the client's 25 s call timeout the answer would reach nobody.
        {u"feed-timeout"_s, u"SECONDS"_s, u"Give up fetching a feed after SECONDS (default 10, at most 20)."_s,
         true, &seconds<&AgentOptions::feedTimeoutMs, 1, 20>,
         &rank<&AgentOptions::feedTimeoutMs, false>},
        {u"state-file"_s, u"FILE"_s,
         u"Record installed versions in FILE (default $XDG_STATE_HOME/palvane/installed.json)."_s,
         false, &stateFile},
        {u"machine-id"_s, u"FILE"_s,
         u"Draw rollout buckets from the machine id in FILE (default /etc/machine-id)."_s, false,
         &machineIdFile},
    };
    return table;
}

// Applies the value, unless it is bad or above a lock; else returns why.
QString applyWithin(AgentOptions &target, const Option &option, const QString &text,
                    const Locks &locks)
{
    AgentOptions trial = target;
    if (const QString wanted = option.apply(trial, text); !wanted.isEmpty())
        return u"wants "_s + wanted;
    const auto lock = locks.constFind(option.name);
    if (lock != locks.cend() && option.rank(trial) > lock->most)
        return u"locked at "_s % lock->text % u" or less by "_s % lock->file;
    target = trial;
    return {};
}

void readConfigFile(AgentOptions &target, const QString &path, Locks *locks, bool mayLock)
{
    if (!QFileInfo::exists(path))
        return;
    const QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        qCWarning(lcConfig).noquote() << path << "cannot be read as an INI file; ignored";
        return;
    }
    // The locked values last: they are what this file sets.
    QStringList keys = settings.allKeys();
    std::stable_partition(keys.begin(), keys.end(),
                          [](const QString &key) { return !key.startsWith(LockedGroup); });
    for (const QString &key : std::as_const(keys)) {
        const bool locking = key.startsWith(LockedGroup);
        const QString name = locking ? key.mid(LockedGroup.size()) : key;
        // QSettings takes only ';' for a comment; "#rate-limit=0", as the
        // example has them, are commented settings too.
        if (name.startsWith(u'#'))
            continue;
        const auto option = std::find_if(options().cbegin(), options().cend(),
                                         [&](const Option &o) { return o.name == name; });
        // A comma makes QSettings return a list, which no setting takes.
        const QVariant value = settings.value(key);
        const QString text = value.typeId() == QMetaType::QStringList
                                 ? value.toStringList().join(u',')
                                 : value.toString();
        QString error;
        if (option == options().cend())
            error = u"unknown setting"_s;
        else if (!option->inConfigFile)
            error = u"only taken from the command line"_s;
        else if (locking && !mayLock)
            error = u"only the system file locks settings"_s;
        else
            error = applyWithin(target, *option, text, *locks);
        if (error.isEmpty() && locking)
            locks->insert(name, {option->rank(target), text, path});
        if (!error.isEmpty())
            qCWarning(lcConfig).noquote() << path << "-"
                                          << AgentLog::cut(QString(key + u'=' + text))
                                          << "ignored:" << error;
    }
}

} // namespace

QStringList AgentOptions::configFiles()
{
    return {QStringLiteral(KELVARRA_SYSCONFDIR) + u"/xdg/palvane/agent.conf"_s,
            XdgDirs::configHome() + u"/palvane/agent.conf"_s};
}

bool AgentOptions::parse(const QStringList &arguments, const QStringList &configFiles)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Reference update agent: serves "_s % QStringView(Contract::ServiceName)
        % u" on the session bus."_s);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    for (const Option &option : options())
        parser.addOption(QCommandLineOption(option.name, option.help, option.valueName));
    // parse(), not process(): a bad command line is status 2, as documented.
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
        return false;
    }
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "unexpected argument \"%s\": the agent takes options only\n",
                     qPrintable(parser.positionalArguments().first()));
        return false;
    }

    productFolders = Products::defaultFolders();
    stateFile = StateFile::defaultPath();
    Locks locks;
    for (qsizetype i = 0; i < configFiles.size(); ++i)
        readConfigFile(*this, configFiles.at(i), &locks, i == 0);
    for (const Option &option : options()) {
        if (!parser.isSet(option.name))
            continue;
        const QString value = parser.value(option.name);
        const QString error = applyWithin(*this, option, value, locks);
        // A lock is the admin's choice, not the caller's mistake: logged, not fatal.
        if (error.startsWith(u"locked"_s)) {
            qCWarning(lcConfig).noquote() << u"--"_s + option.name << AgentLog::cut(value)
                                          << "ignored:" << error;
        } else if (!error.isEmpty()) {
            std::fprintf(stderr, "--%s %s, not \"%s\"\n", qPrintable(option.name),
                         qPrintable(error), qPrintable(value));
            return false;
        }
    }
    return true;
}
