// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "feeds/Product.h"
#include "feeds/Feed.h"
#include "feeds/FeedFetch.h"
#include "feeds/FeedMarks.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>

#include <functional>
#include <optional>

class Network;

// The accepted feed of each product: fetched when IsConnected asks and it is
// older than the maximum age, checked by every acceptance rule, kept in the
// cache folder and, as its serial, in the feed marks.
class FeedKeeper : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        qint64 maxAgeMs = 300000;
        int timeoutMs = 10000;
        QString cacheDir;
    };

    FeedKeeper(const Settings &settings, FeedMarks *marks, Network *network,
               QObject *parent = nullptr);

    // Calls answer(connected) once, at once or when a fetch ends; callers
    // for one product share its fetch.
    void isConnected(const Product &product, std::function<void(bool)> answer);
    // As isConnected, but fetches even when the accepted feed is recent.
    void refresh(const Product &product, std::function<void(bool)> answer);
    // The updates of the accepted feed while it has not expired; nothing
    // without one.
    std::optional<QList<ProductUpdate>> updates(const Product &product);

    // What is known of a product's feed, without fetching anything.
    struct Status
    {
        std::optional<Feed> accepted; // expired or not
        QString acceptedFrom;         // its address, or "cached <path>"
        QDateTime checked;            // the last fetch's end, UTC; null before any
        bool fetching = false;
        bool connected = false;       // what IsConnected would answer now
        // The last refusal or failed fetch, as logged; empty once a fetch
        // (or the cache) gave an acceptable feed again.
        QString problem;
        bool refused = false; // the problem is a refusal, not a failed fetch
    };
    Status status(const Product &product);

    // $XDG_CACHE_HOME/palvane/feeds (~/.cache when unset).
    static QString defaultCacheDir();

Q_SIGNALS:
    // A new feed of the product was accepted, listing these update ids.
    void accepted(const QString &code, const QStringList &ids);

private:
    struct Accepted
    {
        Feed feed;
        QByteArray bytes;
        QByteArray signature;
        QString origin;
        int address = 0; // the index in the product's feeds that served it
    };
    struct State
    {
        std::optional<Accepted> accepted;
        bool cacheLoaded = false;
        // Set by a fetch that left an accepted (or revalidated) feed.
        bool lastFetchGood = false;
        QElapsedTimer checked;
        QDateTime checkedAt;
        QString problem;
        bool refused = false;
        // Per address; only of the accepted bytes, so that a 304 from a
        // mirror still serving an older feed does not count for the new one.
        QHash<QUrl, FeedFetch::Validators> validators;
        FeedFetch *fetch = nullptr;
        int fetching = 0; // the address being tried
        // What the addresses tried so far in this fetch refused or failed.
        QStringList problems;
        bool anyRefused = false;
        QList<std::function<void(bool)>> waiters;
    };

    State &state(const Product &product);
    void loadCache(const Product &product, State &state);
    void fetch(const Product &product, State &state, std::function<void(bool)> answer);
    void fetchFrom(const Product &product, State &state, int address);
    void onFetched(const Product &product, FeedFetch *fetch);
    // Rules 1 to 6; on success the feed replaces the accepted one.
    bool take(const Product &product, State &state, const QByteArray &bytes,
              const QByteArray &signature, const QString &origin, int address, bool fromCache);
    bool answer(const State &state) const;
    QString cachePath(const Product &product) const;

    Settings m_settings;
    FeedMarks *m_marks;
    Network *m_network;
    QHash<QString, State> m_states;
};
