// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "download/PayloadSource.h"

#include <QUrl>

class HttpRequest;
class Network;

// A payload fetched with HTTP GET, redirects followed, the body cut one byte
// past `size` so an oversized payload shows as such. From an offset it asks
// for the rest only, If-Range the validator of the bytes held.
class HttpSource : public PayloadSource
{
    Q_OBJECT

public:
    HttpSource(const QUrl &url, Network *network, qint64 size, qint64 from,
               const QByteArray &validator, QObject *parent = nullptr);
    ~HttpSource() override;

    void start() override;
    qint64 bytesAvailable() const override;
    qint64 chunkBytes(qint64 suggested) const override;
    qint64 copyTo(PartFile &part, qint64 maxSize, QString *error) override;
    bool isFinished() const override;
    QString errorText() const override { return m_error; }
    void abort() override;
    bool isTransient() const override { return m_transient; }
    int retryAfterSeconds() const override;
    qint64 offset() const override { return m_offset; }
    QByteArray validator() const override;

private:
    void onHeaders();
    void onFinished();

    QUrl m_url;
    Network *m_network;
    qint64 m_size;
    qint64 m_from;
    QByteArray m_heldValidator;
    qint64 m_offset = 0;
    bool m_transient = false;
    HttpRequest *m_request = nullptr;
    QString m_error;
    bool m_refused = false; // an error status: its body is not the payload
    bool m_finished = false;
};
