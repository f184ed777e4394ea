// SPDX-License-Identifier: GPL-3.0-or-later
#include "feeds/FeedKeeper.h"

#include "base/AgentLog.h"
#include "base/AtomicFile.h"
#include "base/BoundedFile.h"
#include "base/Sha256.h"
#include "base/XdgDirs.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

FeedKeeper::FeedKeeper(const Settings &settings, FeedMarks *marks,
                       Network *network, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_marks(marks)
    , m_network(network)
{
}

QString FeedKeeper::defaultCacheDir()
{
    return XdgDirs::cacheHome() + u"/palvane/feeds"_s;
}

QString FeedKeeper::cachePath(const Product &product) const
{
    return m_settings.cacheDir % u'/' % product.code.toUpper() % u".json"_s;
}

FeedKeeper::State &FeedKeeper::state(const Product &product)
{
    State &state = m_states[product.code.toUpper()];
    if (!state.cacheLoaded) {
        state.cacheLoaded = true;
        loadCache(product, state);
    }
    return state;
}

void FeedKeeper::loadCache(const Product &product, State &state)
{
    const QString path = cachePath(product);
    if (!QFileInfo::exists(path))
        return;
    QString error;
    const std::optional<QByteArray> bytes = BoundedFile::read(path, FeedFile::MaxBytes, &error);
    const std::optional<QByteArray> signature =
        bytes ? BoundedFile::read(path + u".sig"_s, FeedFile::MaxSignatureBytes, &error)
              : std::nullopt;
    if (!signature) {
        qCWarning(lcFeeds).noquote() << "cached feed of" << AgentLog::cut(product.name)
                                     << "not used:" << AgentLog::cut(path) << "-" << error;
        return;
    }
    take(product, state, *bytes, *signature, u"cached "_s % AgentLog::cut(path), 0, true);
}

void FeedKeeper::isConnected(const Product &product, std::function<void(bool)> answer)
{
    State &current = state(product);
    if (current.lastFetchGood && m_settings.maxAgeMs > 0 && current.checked.isValid()
        && !current.checked.hasExpired(m_settings.maxAgeMs)) {
        answer(this->answer(current));
        return;
    }
    fetch(product, current, std::move(answer));
}

void FeedKeeper::refresh(const Product &product, std::function<void(bool)> answer)
{
    fetch(product, state(product), std::move(answer));
}

void FeedKeeper::fetch(const Product &product, State &current, std::function<void(bool)> answer)
{
    current.waiters.append(std::move(answer));
    if (current.fetch)
        return;
    current.problems.clear();
    current.anyRefused = false;
    fetchFrom(product, current, 0);
}

void FeedKeeper::fetchFrom(const Product &product, State &current, int address)
{
    const QUrl &url = product.feeds.at(address);
    // Without an accepted copy a 304 would leave nothing to use.
    const FeedFetch::Validators validators =
        current.accepted ? current.validators.value(url) : FeedFetch::Validators{};
    // Dead mirrors before a good one must not cost the answer its time.
    const int timeoutMs = m_settings.timeoutMs / int(product.feeds.size());
    current.fetching = address;
    current.fetch = new FeedFetch(url, m_network, timeoutMs, validators, this);
    FeedFetch *fetch = current.fetch;
    const Product copy = product;
    connect(fetch, &FeedFetch::done, this, [this, copy, fetch] { onFetched(copy, fetch); },
            Qt::QueuedConnection);
    fetch->start();
}

void FeedKeeper::onFetched(const Product &product, FeedFetch *fetch)
{
    State &current = m_states[product.code.toUpper()];
    current.fetch = nullptr;
    fetch->deleteLater();
    const int address = current.fetching;
    const QUrl &url = product.feeds.at(address);
    const QString origin = AgentLog::cut(url.toDisplayString());
    bool good = false;
    switch (fetch->outcome()) {
    case FeedFetch::Outcome::NotModified:
        // Relative payload addresses come from the address that answered.
        good = current.accepted->address == address
               || take(product, current, current.accepted->bytes, current.accepted->signature,
                       origin, address, false);
        if (!good)
            break;
        current.problem.clear();
        qCInfo(lcFeeds).noquote() << "feed of" << AgentLog::cut(product.name) << "not modified at"
                                  << origin;
        break;
    case FeedFetch::Outcome::Fetched:
        good = take(product, current, fetch->feed(), fetch->signature(), origin, address, false);
        if (good)
            current.validators.insert(url, fetch->validators());
        break;
    case FeedFetch::Outcome::Failed:
        current.refused = fetch->error().startsWith(u"size:"_s);
        current.problem = u"feed of "_s % AgentLog::cut(product.name) % u" from "_s % origin
                          % (current.refused ? u" refused - "_s : u" not fetched - "_s)
                          % fetch->error();
        qCWarning(lcFeeds).noquote() << current.problem;
        break;
    }
    if (!good) {
        current.problems.append(current.problem);
        current.anyRefused = current.anyRefused || current.refused;
        if (address + 1 < product.feeds.size()) {
            fetchFrom(product, current, address + 1);
            return;
        }
        current.problem = current.problems.join(u"; "_s);
        current.refused = current.anyRefused;
    }
    current.lastFetchGood = good;
    current.checked.start();
    current.checkedAt = QDateTime::currentDateTimeUtc();
    const bool connected = answer(current);
    const QList<std::function<void(bool)>> waiters = std::exchange(current.waiters, {});
    for (const std::function<void(bool)> &waiter : waiters)
        waiter(connected);
}

bool FeedKeeper::take(const Product &product, State &state, const QByteArray &bytes,
                      const QByteArray &signature, const QString &origin, int address,
                      bool fromCache)
{
    FeedFile::Result result = FeedFile::accept(bytes, signature, product.keys, product.code,
                                               product.feeds.at(address),
                                               QDateTime::currentDateTimeUtc(),
                                               product.feeds.mid(address + 1));
    const QByteArray sha256 = Sha256::hash(bytes);
    const FeedMarks::Mark mark = m_marks->mark(product.code);
    if (result.value && result.value->serial < mark.serial)
        result = {std::nullopt, u"serial: "_s % QString::number(result.value->serial)
                                    % u" is lower than "_s % QString::number(mark.serial)
                                    % u", the highest accepted before"_s};
    else if (result.value && result.value->serial == mark.serial && sha256 != mark.sha256)
        result = {std::nullopt, u"serial: "_s % QString::number(mark.serial)
                                    % u" was accepted before with other content"_s};
    if (!result.value) {
        state.refused = true;
        state.problem = u"refused the feed of "_s % AgentLog::cut(product.name) % u" from "_s
                        % origin % u" - "_s % result.error;
        qCWarning(lcFeeds).noquote() << state.problem;
        return false;
    }

    const bool same = state.accepted && state.accepted->bytes == bytes
                      && state.accepted->signature == signature;
    state.accepted = Accepted{*result.value, bytes, signature, origin, address};
    state.problem.clear();
    if (same)
        return true;
    state.validators.clear();
    QString error;
    if (result.value->serial != mark.serial
        && !m_marks->record(product.code, {result.value->serial, sha256}, &error))
        qCWarning(lcFeeds).noquote() << "feed serial of" << AgentLog::cut(product.name)
                                       << "not recorded -" << error;
    if (!fromCache) {
        const QString path = cachePath(product);
        if (!AtomicFile::makeFolder(m_settings.cacheDir, &error)
            || !AtomicFile::replace(path + u".sig"_s, signature, &error)
            || !AtomicFile::replace(path, bytes, &error))
            qCWarning(lcFeeds).noquote() << "feed of" << AgentLog::cut(product.name)
                                         << "not cached -" << error;
    }
    QStringList ids;
    for (const ProductUpdate &update : std::as_const(result.value->updates))
        ids.append(update.id);
    Q_EMIT accepted(product.code, ids);
    qCInfo(lcFeeds).noquote() << "accepted the feed of" << AgentLog::cut(product.name) << "from"
                                << origin
                                << "- serial" << result.value->serial << "with"
                                << result.value->updates.size() << "update(s), expires"
                                << result.value->expires.toString(Qt::ISODate);
    return true;
}

bool FeedKeeper::answer(const State &state) const
{
    return state.lastFetchGood && state.accepted
           && state.accepted->feed.expires > QDateTime::currentDateTimeUtc();
}

std::optional<QList<ProductUpdate>> FeedKeeper::updates(const Product &product)
{
    const State &current = state(product);
    if (!current.accepted || current.accepted->feed.expires <= QDateTime::currentDateTimeUtc())
        return std::nullopt;
    return current.accepted->feed.updates;
}

FeedKeeper::Status FeedKeeper::status(const Product &product)
{
    const State &current = state(product);
    Status status;
    if (current.accepted) {
        status.accepted = current.accepted->feed;
        status.acceptedFrom = current.accepted->origin;
    }
    status.checked = current.checkedAt;
    status.fetching = current.fetch != nullptr;
    status.connected = answer(current);
    status.problem = current.problem;
    status.refused = current.refused;
    return status;
}
