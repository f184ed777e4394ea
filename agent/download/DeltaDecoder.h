// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>

// Turns a delta, one zstd frame made with patch-from against an old file,
// into the new file. The old file, the delta and the new file are mapped,
// never read into memory, so a payload of gigabytes costs the agent only
// the decoder's own few hundred kilobytes.
namespace DeltaDecoder {

struct Result
{
    QByteArray sha256; // of the new file, once it holds exactly `size` bytes
    QString error;     // why not, when sha256 is empty
};

// Decodes deltaFd's deltaSize bytes against oldFd into outFd, which is made
// `size` bytes long. Stops early, with an error, once *stop is set.
Result decode(int oldFd, int deltaFd, qint64 deltaSize, int outFd, qint64 size,
              const std::atomic_bool *stop);

} // namespace DeltaDecoder
