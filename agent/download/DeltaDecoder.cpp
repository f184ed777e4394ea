// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/DeltaDecoder.h"

#include "base/Sha256.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_d_stableOutBuffer
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The largest window patch-from makes (--long=31).
constexpr int MaxWindowLog = 31;
// Input fed per call, so a stop is seen within a few milliseconds.
constexpr size_t InputStep = 1024 * 1024;
constexpr qint64 HashStep = 4 * 1024 * 1024;

QString systemError(const QString &what)
{
    return what % u" ("_s % QString::fromLocal8Bit(std::strerror(errno)) % u')';
}

class Mapping
{
public:
    Mapping(int fd, size_t size, int protection, int flags)
        : m_size(size)
    {
        if (size > 0) {
            void *at = ::mmap(nullptr, size, protection, flags, fd, 0);
            m_data = at == MAP_FAILED ? nullptr : static_cast<char *>(at);
        }
    }
    ~Mapping()
    {
        if (m_data)
            ::munmap(m_data, m_size);
    }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;

    // An empty file maps to nothing and is still fine.
    bool ok() const { return m_size == 0 || m_data; }
    char *data() const { return m_data; }
    size_t size() const { return m_size; }
    // Read once, front to back: the pages may go as soon as they are used.
    void sequential() const
    {
        if (m_data)
            ::madvise(m_data, m_size, MADV_SEQUENTIAL);
    }

private:
    char *m_data = nullptr;
    size_t m_size = 0;
};

struct FreeContext
{
    void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
};

QString zstdError(size_t code)
{
    return u"the delta cannot be decoded: "_s % QString::fromLatin1(ZSTD_getErrorName(code));
}

} // namespace

namespace DeltaDecoder {

Result decode(int oldFd, int deltaFd, qint64 deltaSize, int outFd, qint64 size,
              const std::atomic_bool *stop)
{
    struct stat old = {};
    if (::fstat(oldFd, &old) != 0 || !S_ISREG(old.st_mode))
        return {{}, u"the file in place is not a regular file"_s};
    const Mapping base(oldFd, size_t(old.st_size), PROT_READ, MAP_PRIVATE);
    const Mapping delta(deltaFd, size_t(deltaSize), PROT_READ, MAP_PRIVATE);
    if (!base.ok() || !delta.ok())
        return {{}, systemError(u"cannot map the file in place or the delta"_s)};
    const unsigned long long declared = ZSTD_getFrameContentSize(delta.data(), delta.size());
    if (declared == ZSTD_CONTENTSIZE_ERROR)
        return {{}, u"the delta is not a zstd frame"_s};
    if (declared != ZSTD_CONTENTSIZE_UNKNOWN && declared != (unsigned long long)size)
        return {{}, u"the delta makes "_s % QString::number(declared) % u" bytes, not "_s
                        % QString::number(size)};
    if (::ftruncate(outFd, off_t(size)) != 0)
        return {{}, systemError(u"cannot size the new file"_s)};
    const Mapping out(outFd, size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED);
    if (!out.ok())
        return {{}, systemError(u"cannot map the new file"_s)};
    base.sequential();
    delta.sequential();

    const std::unique_ptr<ZSTD_DCtx, FreeContext> context(ZSTD_createDCtx());
    if (!context)
        return {{}, u"the decoder could not be made"_s};
    // The new file itself is the window: the decoder keeps no copy of it.
    for (const size_t code :
         {ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, MaxWindowLog),
          ZSTD_DCtx_setParameter(context.get(), ZSTD_d_stableOutBuffer, 1),
          ZSTD_DCtx_refPrefix(context.get(), base.data(), base.size())}) {
        if (ZSTD_isError(code))
            return {{}, zstdError(code)};
    }
    ZSTD_outBuffer output{out.data(), out.size(), 0};
    size_t fed = 0;
    for (;;) {
        if (stop && stop->load(std::memory_order_relaxed))
            return {{}, u"stopped"_s};
        ZSTD_inBuffer input{delta.data(), std::min(delta.size(), fed + InputStep), fed};
        const size_t written = output.pos;
        const size_t left = ZSTD_decompressStream(context.get(), &output, &input);
        const bool moved = input.pos != fed || output.pos != written;
        fed = input.pos;
        if (ZSTD_isError(left))
            return {{}, zstdError(left)};
        if (left == 0)
            break;
        if (fed == delta.size())
            return {{}, u"the delta ends in the middle of its frame"_s};
        // A frame that wants more room than the payload's size never ends.
        if (!moved)
            return {{}, u"the delta makes more than "_s % QString::number(size) % u" bytes"_s};
    }
    // One frame: anything after it would be a second one, made against the
    // new file rather than the old.
    if (fed != delta.size())
        return {{}, u"the delta holds more than one zstd frame"_s};
    if (output.pos != size_t(size))
        return {{}, u"the delta makes "_s % QString::number(output.pos) % u" bytes, not "_s
                        % QString::number(size)};
    Sha256 sha;
    for (qint64 at = 0; at < size; at += HashStep) {
        if (stop && stop->load(std::memory_order_relaxed))
            return {{}, u"stopped"_s};
        sha.addData(QByteArrayView(out.data() + at, std::min(HashStep, size - at)));
    }
    return {sha.result(), {}};
}

} // namespace DeltaDecoder
