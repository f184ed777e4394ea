#include "SourceProbe.h"

#include "AgentLog.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

using namespace Qt::StringLiterals;

SourceProbe::SourceProbe(const CatalogProduct &product, QNetworkAccessManager *network,
                         int timeoutMs, QObject *parent)
    : QObject(parent)
    , m_product(product)
    , m_network(network)
    , m_timeoutMs(timeoutMs)
{
}

bool SourceProbe::foldersReadable() const
{
    for (const CatalogUpdate &update : m_product.updates) {
        if (!update.url.isLocalFile())
            continue;
        const QFileInfo folder(QFileInfo(update.url.toLocalFile()).absolutePath());
        if (!folder.isDir() || !folder.isReadable() || !folder.isExecutable()) {
            qCInfo(lcBus).noquote() << "source folder not readable:" << folder.filePath();
            return false;
        }
    }
    return true;
}

void SourceProbe::start()
{
    if (!foldersReadable()) {
        finish(false);
        return;
    }
    // One question per server is enough: any HTTP answer, even an error
    // status, shows the server is there.
    QSet<QString> servers;
    for (const CatalogUpdate &update : m_product.updates) {
        if (update.url.isLocalFile())
            continue;
        const QString server = update.url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery
                                                   | QUrl::RemoveFragment | QUrl::RemoveUserInfo)
                                   .toString();
        if (servers.contains(server))
            continue;
        servers.insert(server);
        QNetworkRequest request(update.url);
        request.setTransferTimeout(m_timeoutMs);
        QNetworkReply *reply = m_network->head(request);
        reply->setParent(this); // dropped with the probe
        ++m_pending;
        connect(reply, &QNetworkReply::finished, this, [this, reply] { onReply(reply); });
    }
    if (m_pending == 0)
        finish(true);
}

void SourceProbe::onReply(QNetworkReply *reply)
{
    reply->deleteLater();
    --m_pending;
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
        qCInfo(lcBus).noquote() << "no answer from" << reply->url().toDisplayString() << "-"
                                << reply->errorString();
        finish(false);
        return;
    }
    if (m_pending == 0)
        finish(true);
}

void SourceProbe::finish(bool connected)
{
    if (m_finished)
        return;
    m_finished = true;
    Q_EMIT done(connected);
}
