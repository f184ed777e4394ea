// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/Sha256.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cerrno>
#include <new>
#include <unistd.h>

void Sha256::Free::operator()(EVP_MD_CTX *context) const
{
    EVP_MD_CTX_free(context);
}

Sha256::Sha256()
    : m_context(EVP_MD_CTX_new())
{
    if (!m_context)
        throw std::bad_alloc();
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    // Only fails when out of memory or with a broken libcrypto.
    if (EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
}

void Sha256::addData(QByteArrayView data)
{
    EVP_DigestUpdate(m_context.get(), data.data(), size_t(data.size()));
}

QByteArray Sha256::result()
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context.get(), reinterpret_cast<unsigned char *>(digest.data()), &length);
    digest.truncate(int(length));
    reset();
    return digest;
}

QByteArray Sha256::hash(QByteArrayView data)
{
    Sha256 sha;
    sha.addData(data);
    return sha.result();
}

QByteArray Sha256::hmac(QByteArrayView key, QByteArrayView message)
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), int(key.size()),
              reinterpret_cast<const unsigned char *>(message.data()), size_t(message.size()),
              reinterpret_cast<unsigned char *>(digest.data()), &length))
        return {};
    digest.truncate(int(length));
    return digest;
}

std::optional<QByteArray> Sha256::hashFile(int fd, qint64 maxBytes, const std::atomic_bool *stop)
{
    Sha256 sha;
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    qint64 offset = 0;
    for (;;) {
        if (stop && stop->load(std::memory_order_relaxed))
            return std::nullopt;
        const ssize_t n = ::pread(fd, buffer.data(), size_t(buffer.size()), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return sha.result();
        offset += n;
        if (offset > maxBytes)
            return std::nullopt;
        sha.addData(QByteArrayView(buffer.constData(), n));
    }
}
