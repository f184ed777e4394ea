// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "download/Transfer.h"
#include "feeds/Rollout.h"

#include <QHash>
#include <QSet>
#include <QString>

class FeedKeeper;
class FileHasher;
class Installer;
class Network;
class ObjectRegistry;
class Products;

// What the bus objects share, owned by the Agent.
struct AgentContext
{
    Products *products = nullptr;
    FeedKeeper *feeds = nullptr;
    Installer *installer = nullptr;
    FileHasher *hasher = nullptr;
    const Rollout *rollout = nullptr;
    Network *network = nullptr;
    ObjectRegistry *registry = nullptr;
    Transfer::Settings transfer;
    // Updates some item is downloading or holds downloaded ("CODE/id"): two
    // clients must not download and install the same update at once.
    QSet<QString> claimedUpdates;
    // What the items did last with each update ("CODE/id"), for the status
    // interface: running downloads and the last failure's text.
    struct Activity
    {
        bool downloading = false;
        qint64 bytes = 0;
        QString failure;
    };
    QHash<QString, Activity> activity;

    static QString key(const QString &code, const ProductUpdate &update)
    {
        return code.toUpper() + u'/' + update.id;
    }
    // Why this machine is not offered the update; empty when it is. One that
    // some item is downloading or holds downloaded goes on all the same.
    QString heldBack(const QString &code, const ProductUpdate &update) const
    {
        if (!rollout || claimedUpdates.contains(key(code, update)))
            return {};
        return rollout->holdsBack(code, update);
    }
};
