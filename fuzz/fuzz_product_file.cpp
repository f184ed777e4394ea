// SPDX-License-Identifier: GPL-3.0-or-later
// A product file's checks on any bytes. Installed by packages, but read from
// folders that a user's own files can reach as well.
#include "feeds/ProductFile.h"

#include <cstddef>
#include <cstdint>

using namespace Qt::StringLiterals;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                     qsizetype(size));
    (void)ProductFile::parse(bytes, u"/etc/palvane/products/demo.json"_s);
    return 0;
}
