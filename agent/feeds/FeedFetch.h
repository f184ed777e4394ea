// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QUrl>

class HttpRequest;
class Network;

// Fetches a feed and then its signature (the feed's address with ".sig"
// appended) over file://, http:// or https://, within size limits and one
// time limit for both. With validators of a copy in hand the feed request is
// conditional, and a 304 ends the fetch without the signature.
class FeedFetch : public QObject
{
    Q_OBJECT

public:
    enum class Outcome { Fetched, NotModified, Failed };

    struct Validators
    {
        QByteArray etag;
        QByteArray lastModified;
        bool isEmpty() const { return etag.isEmpty() && lastModified.isEmpty(); }
    };

    FeedFetch(const QUrl &feedUrl, Network *network, int timeoutMs,
              const Validators &validators, QObject *parent = nullptr);
    ~FeedFetch() override;

    // Emits done() once, possibly before returning.
    void start();

    Outcome outcome() const { return m_outcome; }
    QByteArray feed() const { return m_feed; }
    QByteArray signature() const { return m_signature; }
    // What to send next time: the feed response's ETag and Last-Modified.
    Validators validators() const { return m_newValidators; }
    // Why it failed; starts with "size:" when a file was too large.
    QString error() const { return m_error; }

    static QUrl signatureUrl(const QUrl &feedUrl);

Q_SIGNALS:
    void done();

private:
    void fetchLocal();
    void get(const QUrl &url, bool conditional);
    void onFinished();
    void finishTooLarge();
    void finish(Outcome outcome, const QString &error = {});

    QUrl m_url;
    Network *m_network;
    int m_timeoutMs;
    Validators m_validators;
    Validators m_newValidators;
    QTimer m_deadline;
    HttpRequest *m_request = nullptr;
    bool m_gettingSignature = false;
    QByteArray m_feed;
    QByteArray m_signature;
    Outcome m_outcome = Outcome::Failed;
    QString m_error;
    bool m_finished = false;
};
