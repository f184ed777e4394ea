// SPDX-License-Identifier: GPL-3.0-or-later
#include "feeds/FeedSignature.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

using namespace Qt::StringLiterals;

namespace FeedSignature {

namespace {

using Point = std::array<unsigned char, KeyBytes>;

// Every 32-byte form that decodes to one of the eight points of order
// dividing 8: with such a key, or such an R, [S]B = R + [k]A holds for
// signatures nobody made (the identity with S = 0 verifies any message).
// Besides the eight canonical forms: x = 0 with the sign bit set, and
// y = p and y = p + 1, the only small-order y values below 2^255 - p.
constexpr auto fill = [](unsigned char first, unsigned char middle, unsigned char last) {
    Point point{};
    point.fill(middle);
    point.front() = first;
    point.back() = last;
    return point;
};
constexpr std::array<Point, 14> SmallOrder{{
    fill(0x00, 0x00, 0x00), // (sqrt(-1), 0), order 4; all zero bytes
    fill(0x00, 0x00, 0x80), // (-sqrt(-1), 0), order 4
    fill(0x01, 0x00, 0x00), // the identity (0, 1)
    fill(0x01, 0x00, 0x80), // the identity, x = 0 marked negative
    fill(0xec, 0xff, 0x7f), // (0, -1), order 2
    fill(0xec, 0xff, 0xff), // (0, -1), x = 0 marked negative
    fill(0xed, 0xff, 0x7f), // y = p: order 4
    fill(0xed, 0xff, 0xff), // y = p: order 4, the other x
    fill(0xee, 0xff, 0x7f), // y = p + 1: the identity
    fill(0xee, 0xff, 0xff), // y = p + 1: the identity, x = 0 marked negative
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x85},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0xfa},
}};

// Whether y, the low 255 bits read little-endian, is below p = 2^255 - 19.
bool isCanonical(const unsigned char *point)
{
    if ((point[31] & 0x7f) != 0x7f)
        return true;
    for (int i = 30; i > 0; --i) {
        if (point[i] != 0xff)
            return true;
    }
    return point[0] < 0xed;
}

// Why a point encoding cannot be trusted in a signature check, or nothing.
QString pointFault(QByteArrayView bytes)
{
    const auto *point = reinterpret_cast<const unsigned char *>(bytes.data());
    const bool small = std::any_of(SmallOrder.begin(), SmallOrder.end(), [&](const Point &known) {
        return std::memcmp(known.data(), point, known.size()) == 0;
    });
    if (small)
        return u"a point of small order"_s;
    if (!isCanonical(point))
        return u"not canonically encoded (y is 2^255 - 19 or more)"_s;
    return {};
}

// Only the canonical text of `bytes` raw bytes: any other spelling that
// decodes to the same bytes is refused, so one value has one form.
std::optional<QByteArray> decodeExact(const QByteArray &text, qsizetype bytes, QString *error)
{
    const auto decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != bytes || decoded.decoded.toBase64() != text) {
        *error = u"must be the standard base64 (with padding) of "_s % QString::number(bytes)
                 % u" bytes"_s;
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
    std::optional<QByteArray> key = decodeExact(base64, KeyBytes, error);
    if (!key)
        return std::nullopt;
    const std::unique_ptr<EVP_PKEY, KeyFree> pkey(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(key->constData()),
        size_t(key->size())));
    const QString fault = pkey ? pointFault(*key) : u"OpenSSL refuses it"_s;
    if (!fault.isEmpty()) {
        *error = u"is not a usable Ed25519 public key: "_s % fault;
        return std::nullopt;
    }
    return key;
}

std::optional<QByteArray> parseSignatureFile(const QByteArray &file, QString *error)
{
    const QByteArray text = file.endsWith('\n') ? file.chopped(1) : file;
    std::optional<QByteArray> signature = decodeExact(text, SignatureBytes, error);
    const QString fault = signature ? pointFault(signature->first(KeyBytes)) : QString();
    if (!signature || !fault.isEmpty()) {
        *error = u"the signature "_s
                 % (signature ? u"is not usable: its R is "_s % fault : *error);
        return std::nullopt;
    }
    return signature;
}

bool verify(const QByteArray &data, const QByteArray &signature, const QByteArray &key)
{
    if (signature.size() != SignatureBytes || key.size() != KeyBytes
        || !pointFault(signature.first(KeyBytes)).isEmpty() || !pointFault(key).isEmpty())
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
