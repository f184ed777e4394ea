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

QString kilobytesPerSecond(AgentOptions &options, const QString &text)
{
    bool ok = false;
    const qint64 kbps = text.toLongLong(&ok);
    if (!ok || kbps < 0 || kbps > 100'000'000)
        return u"a whole number of kilobytes a second from 0 to 100000000"_s;
    options.rateLimitBytes = kbps * 1024;
    return {};
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
};

const QList<Option> &options()
{
    static const QList<Option> table = {
        {u"products"_s, u"DIR"_s, u"Read product files from DIR only."_s, false, &productsFolder},
        {u"rate-limit"_s, u"KBPS"_s, u"Slow every download to KBPS kilobytes a second."_s, true,
         &kilobytesPerSecond},
        {u"idle-timeout"_s, u"SECONDS"_s, u"Exit after SECONDS with no client (default 60, 0 never)."_s,
         true, &seconds<&AgentOptions::idleTimeoutMs, 0>},
        {u"stall-timeout"_s, u"SECONDS"_s, u"Fail a download after SECONDS without data (default 30)."_s,
         true, &seconds<&AgentOptions::stallTimeoutMs, 1>},
        {u"feed-max-age"_s, u"SECONDS"_s, u"Fetch a feed again after SECONDS (default 300)."_s, true,
         &seconds<&AgentOptions::feedMaxAgeMs, 0>},
        // Past the client's 25 s call timeout the answer would reach nobody.
        {u"feed-timeout"_s, u"SECONDS"_s, u"Give up fetching a feed after SECONDS (default 10, at most 20)."_s,
         true, &seconds<&AgentOptions::feedTimeoutMs, 1, 20>},
        {u"state-file"_s, u"FILE"_s,
         u"Record installed versions in FILE (default $XDG_STATE_HOME/palvane/installed.json)."_s,
         false, &stateFile},
        {u"machine-id"_s, u"FILE"_s,
         u"Draw rollout buckets from the machine id in FILE (default /etc/machine-id)."_s, false,
         &machineIdFile},
    };
    return table;
}

void readConfigFile(AgentOptions &target, const QString &path)
{
    if (!QFileInfo::exists(path))
        return;
    const QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        qCWarning(lcConfig).noquote() << path << "cannot be read as an INI file; ignored";
        return;
    }
    for (const QString &key : settings.allKeys()) {
        const auto option = std::find_if(options().cbegin(), options().cend(),
                                         [&](const Option &o) { return o.name == key; });
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
        else if (const QString wanted = option->apply(target, text); !wanted.isEmpty())
            error = u"wants "_s + wanted;
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
    parser.addHelpOption();
    parser.addVersionOption();
    for (const Option &option : options())
        parser.addOption(QCommandLineOption(option.name, option.help, option.valueName));
    parser.process(arguments);

    productFolders = Products::defaultFolders();
    stateFile = StateFile::defaultPath();
    for (const QString &file : configFiles)
        readConfigFile(*this, file);
    for (const Option &option : options()) {
        if (!parser.isSet(option.name))
            continue;
        const QString value = parser.value(option.name);
        if (const QString wanted = option.apply(*this, value); !wanted.isEmpty()) {
            std::fprintf(stderr, "--%s wants %s, not \"%s\"\n", qPrintable(option.name),
                         qPrintable(wanted), qPrintable(value));
            return false;
        }
    }
    return true;
}
