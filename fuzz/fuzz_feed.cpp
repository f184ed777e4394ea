// SPDX-License-Identifier: GPL-3.0-or-later
// The feed's content checks (acceptance rules 3 to 5) on any bytes: what a
// server sends once the signature is out of the way, and what a vendor writes.
#include "feeds/Feed.h"

#include <cstddef>
#include <cstdint>

using namespace Qt::StringLiterals;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QUrl feedUrl(u"https://updates.example.org/demo/updates.json"_s);
    static const QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                     qsizetype(size));
    const FeedFile::Result result = FeedFile::parse(bytes, feedUrl);
    if (result.value)
        (void)FeedFile::checkFor(*result.value, u"{5E1F0C2A-7B3D-4C9E-8A61-2D4F6B8E0A13}"_s, now);
    return 0;
}
