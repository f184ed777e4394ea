// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "download/PayloadSource.h"

#include <QUrl>

class HttpRequest;
class Network;

// A payload fetched with HTTP GET, redirects followed, the body cut one byte
// past `size` so an oversized payload shows as such.
class HttpSource : public PayloadSource
{
    Q_OBJECT

public:
    HttpSource(const QUrl &url, Network *network, qint64 size, QObject *parent = nullptr);
    ~HttpSource() override;

    void start() override;
    qint64 bytesAvailable() const override;
    qint64 chunkBytes(qint64 suggested) const override;
    qint64 copyTo(PartFile &part, qint64 maxSize, QString *error) override;
    bool isFinished() const override;
    QString errorText() const override { return m_error; }
    void abort() override;

private:
    void onFinished();

    QUrl m_url;
    Network *m_network;
    qint64 m_size;
    HttpRequest *m_request = nullptr;
    QString m_error;
    bool m_refused = false; // an error status: its body is not the payload
    bool m_finished = false;
};
