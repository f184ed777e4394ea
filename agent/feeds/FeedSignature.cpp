// SPDX-License-Identifier: GPL-3.0-or-later
#include "feeds/FeedSignature.h"

#include <openssl/evp.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace FeedSignature {

namespace {

// Only the canonical text of `bytes` raw bytes: any other spelling that
// decodes to the same bytes is refused, so one value has one form.
std::optional<QByteArray> decodeExact(const QByteArray &text, qsizetype bytes, const QString &what,
                                      QString *error)
{
    const auto decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != bytes || decoded.decoded.toBase64() != text) {
        *error = what % u" must be the standard base64 (with padding) of "_s
                 % QString::number(bytes) % u" bytes"_s;
        return std::nullopt;
    }
    return decoded.decoded;
}

struct KeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct ContextFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

} // namespace

std::optional<QByteArray> parsePublicKey(const QByteArray &base64, QString *error)
{
    std::optional<QByteArray> key = decodeExact(base64, KeyBytes, u"a public key"_s, error);
    if (!key)
        return std::nullopt;
    const std::unique_ptr<EVP_PKEY, KeyFree> pkey(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(key->constData()),
        size_t(key->size())));
    if (!pkey) {
        *error = u"not an Ed25519 public key"_s;
        return std::nullopt;
    }
    return key;
}

std::optional<QByteArray> parseSignatureFile(const QByteArray &file, QString *error)
{
    const QByteArray text = file.endsWith('\n') ? file.chopped(1) : file;
    return decodeExact(text, SignatureBytes, u"the signature"_s, error);
}

bool verify(const QByteArray &data, const QByteArray &signature, const QByteArray &key)
{
    if (signature.size() != SignatureBytes || key.size() != KeyBytes)
        return false;
    const std::unique_ptr<EVP_PKEY, KeyFree> pkey(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(key.constData()),
        size_t(key.size())));
    const std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!pkey || !context
        || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(),
                            reinterpret_cast<const unsigned char *>(signature.constData()),
                            size_t(signature.size()),
                            reinterpret_cast<const unsigned char *>(data.constData()),
                            size_t(data.size()))
           == 1;
}

} // namespace FeedSignature
