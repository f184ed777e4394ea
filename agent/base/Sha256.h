// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <atomic>
#include <memory>
#include <optional>

struct evp_md_ctx_st;

// Incremental SHA-256 through libcrypto, which uses the CPU's SHA
// instructions where it has them.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(QByteArrayView data);
    // The 32-byte digest; the object starts over afterwards.
    QByteArray result();
    void reset();

    static QByteArray hash(QByteArrayView data);
    // HMAC-SHA256 of message under key.
    static QByteArray hmac(QByteArrayView key, QByteArrayView message);
    // The digest of an open file read from its start, or nothing when it
    // cannot be read, holds more than maxBytes or *stop was set meanwhile.
    static std::optional<QByteArray> hashFile(int fd, qint64 maxBytes,
                                              const std::atomic_bool *stop = nullptr);

private:
    struct Free
    {
        void operator()(evp_md_ctx_st *context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> m_context;
};
