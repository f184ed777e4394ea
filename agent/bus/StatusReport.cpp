// SPDX-License-Identifier: GPL-3.0-or-later
#include "bus/StatusReport.h"

#include "bus/AgentContext.h"
#include "feeds/FeedKeeper.h"
#include "install/Installer.h"

#include <QDBusMetaType>

using namespace Qt::StringLiterals;

namespace {

QString utc(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODate) : QString();
}

QString feedState(const FeedKeeper::Status &status, bool current)
{
    if (!status.problem.isEmpty())
        return status.refused ? u"refused"_s : u"unreachable"_s;
    if (current)
        return u"current"_s;
    if (status.accepted)
        return u"expired"_s;
    return status.checked.isValid() ? u"none"_s : u"unchecked"_s;
}

QStringList feedAddresses(const Product &product)
{
    QStringList addresses;
    for (const QUrl &url : product.feeds)
        addresses.append(url.toDisplayString());
    return addresses;
}

QVariantMap updateEntry(AgentContext &context, const Product &product,
                        const ProductUpdate &update, bool installed)
{
    QVariantMap entry{{u"id"_s, update.id},
                      {u"name"_s, update.name},
                      {u"version"_s, update.version},
                      {u"size"_s, update.size}};
    const AgentContext::Activity activity =
        context.activity.value(AgentContext::key(product.code, update));
    entry[u"rolloutBucket"_s] = context.rollout->bucket(product.code, update);
    entry[u"rollout"_s] = update.rollout / 100.0;
    if (installed) {
        entry[u"state"_s] = u"installed"_s;
    } else if (activity.downloading) {
        entry[u"state"_s] = u"downloading"_s;
        entry[u"bytes"_s] = activity.bytes;
    } else if (!activity.failure.isEmpty()) {
        entry[u"state"_s] = u"failed"_s;
        entry[u"text"_s] = activity.failure;
    } else if (const QString why = context.heldBack(product.code, update); !why.isEmpty()) {
        entry[u"state"_s] = u"heldBack"_s;
        entry[u"text"_s] = why;
    } else {
        entry[u"state"_s] = u"offered"_s;
    }
    return entry;
}

} // namespace

namespace StatusReport {

void registerTypes()
{
    registerStatusTypes();
    // "updates" goes out as aa{sv}, not av.
    qDBusRegisterMetaType<QList<QVariantMap>>();
}

QVariantMap of(AgentContext &context, const Product &product)
{
    const FeedKeeper::Status feed = context.feeds->status(product);
    const bool current = feed.accepted && feed.accepted->expires > QDateTime::currentDateTimeUtc();
    // Writable or creatable: the room for a payload is asked when it starts.
    const QString folderProblem = context.installer->whyNoRoom(product.installDir, ProductUpdate{});

    QList<QVariantMap> updates;
    if (current) {
        // One read of the state file for all of them.
        const QSet<QString> installed =
            context.installer->installedOf(product.code, feed.accepted->updates);
        for (const ProductUpdate &update : feed.accepted->updates)
            updates.append(updateEntry(context, product, update, installed.contains(update.id)));
    }
    QVariantMap status{
        {u"code"_s, product.code},
        {u"name"_s, product.name},
        {u"productFile"_s, product.sourceFile},
        {u"feeds"_s, feedAddresses(product)},
        {u"installDir"_s, product.installDir},
        {u"installDirWritable"_s, folderProblem.isEmpty()},
        {u"installDirProblem"_s, folderProblem},
        {u"feedState"_s, feedState(feed, current)},
        {u"connected"_s, feed.connected},
        {u"fetching"_s, feed.fetching},
        {u"lastChecked"_s, utc(feed.checked)},
        {u"problem"_s, feed.problem},
        {u"updates"_s, QVariant::fromValue(updates)},
    };
    if (feed.accepted) {
        status[u"acceptedSerial"_s] = feed.accepted->serial;
        status[u"acceptedExpires"_s] = utc(feed.accepted->expires);
        status[u"acceptedFrom"_s] = feed.acceptedFrom;
    }
    return status;
}

} // namespace StatusReport
