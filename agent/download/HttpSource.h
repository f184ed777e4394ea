// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "download/PayloadSource.h"

#include <QPointer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// A payload fetched with HTTP GET; redirects are followed.
class HttpSource : public PayloadSource
{
    Q_OBJECT

public:
    HttpSource(const QUrl &url, QNetworkAccessManager *network, int transferTimeoutMs,
               QObject *parent = nullptr);
    ~HttpSource() override;

    void start() override;
    qint64 bytesAvailable() const override;
    qint64 chunkBytes(qint64 suggested) const override;
    qint64 copyTo(PartFile &part, qint64 maxSize, QString *error) override;
    bool isFinished() const override;
    QString errorText() const override { return m_error; }
    void abort() override;

private:
    bool checkStatus();
    void onFinished();

    QUrl m_url;
    QNetworkAccessManager *m_network;
    int m_transferTimeoutMs;
    QPointer<QNetworkReply> m_reply;
    QString m_error;
    bool m_refused = false; // an error status: its body is not the payload
    bool m_finished = false;
};
