// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "download/Transfer.h"

#include <QSet>
#include <QString>

class FeedKeeper;
class Installer;
class ObjectRegistry;
class Products;
class QNetworkAccessManager;

// What the bus objects share, owned by the Agent.
struct AgentContext
{
    Products *products = nullptr;
    FeedKeeper *feeds = nullptr;
    Installer *installer = nullptr;
    QNetworkAccessManager *network = nullptr;
    ObjectRegistry *registry = nullptr;
    Transfer::Settings transfer;
    // Updates some item is downloading or holds downloaded ("CODE/id"): two
    // clients must not download and install the same update at once.
    QSet<QString> claimedUpdates;
};
