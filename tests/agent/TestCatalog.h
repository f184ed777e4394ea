// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <memory>

class SigningKey;

// A product as its vendor ships it, in a folder: products/ with the product
// file, feeds/ with the signed feed, payloads/ and the install folder
// install/. Each TestCatalog signs with a fresh Ed25519 key of its own, made
// and used as palvane-feed does.
class TestCatalog
{
public:
    static constexpr char16_t Code[] = u"{6C0B5C8E-1F7A-4B8E-9D0A-3A5E2C1D4B6F}";

    explicit TestCatalog(const QString &root);
    ~TestCatalog();

    QString productsDir() const { return m_root + QStringLiteral("/products"); }
    QString payloadDir() const { return m_root + QStringLiteral("/payloads"); }
    QString installDir() const { return m_root + QStringLiteral("/install"); }
    QString feedPath() const { return m_root + QStringLiteral("/feeds/updates.json"); }

    // Random bytes of the given size, also written to payloads/name.
    QByteArray makePayload(const QString &name, qint64 size) const;
    static QUrl fileUrl(const QString &path) { return QUrl::fromLocalFile(path); }
    QUrl payloadUrl(const QString &name) const { return fileUrl(payloadDir() + u'/' + name); }

    // An update entry whose size and checksum describe `content`.
    static QJsonObject update(const QString &id, const QString &name, const QByteArray &content,
                              const QUrl &url);
    // The product file (naming feedUrl and this catalog's key) and a feed of
    // `updates` with the next serial, signed and written at feedPath().
    void writeProduct(const QJsonArray &updates, const QString &code = QString::fromUtf16(Code),
                      const QString &fileName = QStringLiteral("product.json"));
    // A feed of `updates`, with the next serial, that expires in a day.
    QJsonObject feed(const QJsonArray &updates, const QString &code = QString::fromUtf16(Code));
    // Writes the feed and signature file at feedPath(); an empty signature
    // file is left out.
    void publish(const QByteArray &feed, const QByteArray &signatureFile) const;
    // What is at feedPath() + suffix.
    QByteArray published(const QString &suffix = {}) const;
    // The signature file of `bytes`: base64 of the Ed25519 signature.
    QByteArray sign(const QByteArray &bytes) const;
    QByteArray publicKey() const;
    // This catalog's private key as PKCS#8 PEM, for the openssl command line.
    QByteArray privateKeyPem() const;

    void writeRaw(const QString &fileName, const QByteArray &content) const;
    // Files left in the install folder, hidden ones included.
    QStringList installedFiles() const;

    // What product files name as the feed: the file at feedPath() unless a
    // test serves it elsewhere.
    QUrl feedUrl;
    // Further addresses of the same feed, listed after feedUrl when set.
    QList<QUrl> mirrors;
    // The serial of the last feed made.
    qint64 serial = 0;
    // writeProduct's feeds without indentation, for feeds of thousands of updates.
    bool compactFeeds = false;
    // A key rotation: which of the two keys writeProduct lists, and which
    // one signs.
    enum Key { OldKey = 1, NewKey = 2 };
    int listedKeys = OldKey;
    Key signingKey = OldKey;
    // The product file's installDir when set, else installDir().
    QString installDirField;

private:
    const SigningKey &key(Key which) const;

    QString m_root;
    std::unique_ptr<SigningKey> m_key;
    std::unique_ptr<SigningKey> m_newKey;
};

// Whole files for the tests: empty, or false, when it cannot be done.
QByteArray fileContent(const QString &path);
bool writeFile(const QString &path, const QByteArray &content);
