// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

struct evp_pkey_st;

// A vendor's Ed25519 private key, kept as PKCS#8 PEM so that stock OpenSSL
// reads and writes the same files.
class SigningKey
{
public:
    static SigningKey generate();
    // Throws ToolError when the file is not an Ed25519 private key.
    static SigningKey load(const QString &path);

    // Creates path with mode 0600; never replaces an existing file.
    void saveNew(const QString &path) const;
    // PKCS#8 PEM ("BEGIN PRIVATE KEY"), as saveNew() writes it.
    QByteArray toPem() const;
    // The raw 32-byte public key; product files list its standard base64.
    QByteArray publicKey() const;
    // The 64-byte signature of exactly these bytes.
    QByteArray sign(const QByteArray &message) const;

private:
    struct Free
    {
        void operator()(evp_pkey_st *key) const;
    };
    explicit SigningKey(evp_pkey_st *key);
    std::unique_ptr<evp_pkey_st, Free> m_key;
};
