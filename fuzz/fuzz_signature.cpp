// SPDX-License-Identifier: GPL-3.0-or-later
// The signature file, as the feed's server sends it, checked against a fixed
// feed and key (acceptance rules 1 and 2; corpus/signature/good.sig is the
// real signature); the same bytes as a product file's key.
#include "feeds/Feed.h"
#include "feeds/FeedSignature.h"

#include <cstddef>
#include <cstdint>

using namespace Qt::StringLiterals;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QByteArray feed = "{\"product\": \"{5E1F0C2A-7B3D-4C9E-8A61-2D4F6B8E0A13}\"}\n";
    static const QByteArray key = QByteArray::fromBase64("aN3DvMflcd8lQLAiUByck4QWBcv12J+rIGfkl8LldYo=");
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                     qsizetype(size));
    (void)FeedFile::checkSignature(feed, bytes, {key});
    QString error;
    (void)FeedSignature::parsePublicKey(bytes, &error);
    return 0;
}
