#pragma once

#include "Transfer.h"

#include <QSet>
#include <QString>

class Catalog;
class InstallRecord;
class ObjectRegistry;
class QNetworkAccessManager;

// What the bus objects share, owned by the Agent.
struct AgentContext
{
    Catalog *catalog = nullptr;
    InstallRecord *installRecord = nullptr;
    QNetworkAccessManager *network = nullptr;
    ObjectRegistry *registry = nullptr;
    Transfer::Settings transfer;
    int probeTimeoutMs = 5000;
    // Updates some item is downloading or holds downloaded ("CODE/id"): two
    // clients must not download and install the same update at once.
    QSet<QString> claimedUpdates;
};
