// SPDX-License-Identifier: GPL-3.0-or-later
#include "SigningKey.h"

#include "base/BoundedFile.h"
#include "ToolError.h"
#include "base/WriteAll.h"

#include <QFile>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// A PEM key is a few hundred bytes; anything far larger is not one.
constexpr qint64 MaxKeyFileBytes = 64 * 1024;
constexpr size_t RawKeyBytes = 32;

QString openSslReason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char *reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? QString::fromUtf8(reason) : u"unknown libcrypto error"_s;
}

struct BioFree
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

QString systemReason(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}

} // namespace

void SigningKey::Free::operator()(EVP_PKEY *key) const
{
    EVP_PKEY_free(key);
}

SigningKey::SigningKey(EVP_PKEY *key)
    : m_key(key)
{
}

SigningKey SigningKey::generate()
{
    EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!key)
        throw ToolError{u"cannot make an Ed25519 key: "_s % openSslReason()};
    return SigningKey(key);
}

SigningKey SigningKey::load(const QString &path)
{
    QString error;
    const std::optional<QByteArray> pem = BoundedFile::read(path, MaxKeyFileBytes, &error);
    if (!pem)
        throw ToolError{path % u": "_s % error};
    Bio bio(BIO_new_mem_buf(pem->constData(), int(pem->size())));
    // No passphrase callback: an encrypted key fails here instead of prompting.
    EVP_PKEY *key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr,
                                                  [](char *, int, int, void *) { return 0; }, nullptr)
                        : nullptr;
    if (!key)
        throw ToolError{path % u": not a PEM private key ("_s % openSslReason() % u')'};
    SigningKey loaded(key);
    if (!EVP_PKEY_is_a(key, "ED25519"))
        throw ToolError{path % u": not an Ed25519 key"_s};
    return loaded;
}

QByteArray SigningKey::toPem() const
{
    Bio bio(BIO_new(BIO_s_mem()));
    // PEM_write_bio_PrivateKey writes PKCS#8 ("BEGIN PRIVATE KEY").
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), m_key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1)
        throw ToolError{u"cannot encode the key: "_s % openSslReason()};
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, qsizetype(size));
}

void SigningKey::saveNew(const QString &path) const
{
    QByteArray pem = toPem();
    const QByteArray name = QFile::encodeName(path);
    // O_EXCL: an existing key, or a symlink planted in its place, is never overwritten.
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int number = errno;
        throw ToolError{path % (number == EEXIST ? u": exists already; not replacing a key"_s
                                                 : u": "_s % systemReason(number))};
    }
    int failure = ::fchmod(fd, 0600) == 0 ? 0 : errno;
    if (!failure && !writeAll(fd, pem))
        failure = errno;
    OPENSSL_cleanse(pem.data(), size_t(pem.size()));
    if (!failure && ::fsync(fd) != 0)
        failure = errno;
    if (::close(fd) != 0 && !failure)
        failure = errno;
    if (failure) {
        ::unlink(name.constData());
        throw ToolError{path % u": "_s % systemReason(failure)};
    }
}

QByteArray SigningKey::publicKey() const
{
    unsigned char raw[RawKeyBytes];
    size_t length = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(m_key.get(), raw, &length) != 1 || length != RawKeyBytes)
        throw ToolError{u"cannot read the public key: "_s % openSslReason()};
    return QByteArray(reinterpret_cast<const char *>(raw), qsizetype(length));
}

QByteArray SigningKey::sign(const QByteArray &message) const
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                   &EVP_MD_CTX_free);
    QByteArray signature(64, Qt::Uninitialized);
    size_t length = size_t(signature.size());
    // Ed25519 hashes the message itself: no digest is named, and it is signed in one go.
    if (!context
        || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, m_key.get()) != 1
        || EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()),
                          &length, reinterpret_cast<const unsigned char *>(message.constData()),
                          size_t(message.size()))
               != 1)
        throw ToolError{u"cannot sign: "_s % openSslReason()};
    signature.truncate(qsizetype(length));
    return signature;
}
