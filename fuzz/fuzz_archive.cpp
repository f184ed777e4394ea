// SPDX-License-Identifier: GPL-3.0-or-later
// An archive update's bytes through the agent's archive reader: once only
// checked, as the vendor's tool does, and once unpacked into a scratch
// folder, as the agent does. Whatever it unpacks must stay inside its tree.
#include "install/ArchiveReader.h"
#include "install/ArchiveTree.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Small enough to keep each input fast; large enough for many entries.
constexpr qint64 UnpackedLimit = 1024 * 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir scratch((QFileInfo(u"/dev/shm"_s).isWritable() ? u"/dev/shm"_s
                                                                          : QDir::tempPath())
                                 + u"/fuzz-archive-XXXXXX"_s);
    static const QString install = scratch.filePath(u"install"_s);
    static const bool made = QDir().mkpath(install);
    if (!made)
        std::abort();

    const int fd = ::memfd_create("archive", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, data, size) != ssize_t(size))
        std::abort();
    const ArchiveReader::Outcome checked = ArchiveReader::read(fd, UnpackedLimit);
    const ArchiveTree tree(install, u"app"_s, u"1.0"_s);
    const ArchiveTree::Unpacked unpacked = tree.unpack(fd, UnpackedLimit, nullptr);
    ::close(fd);
    // The check and the unpack judge alike, unless the disk failed.
    if (!unpacked.localFailure && checked.error.isEmpty() != unpacked.error.isEmpty())
        std::abort();
    // A refused archive leaves nothing; an accepted one only its tree.
    const QStringList left = QDir(install).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                     | QDir::NoDotAndDotDot);
    if (left != (unpacked.name.isEmpty() ? QStringList() : QStringList{unpacked.name}))
        std::abort();
    ArchiveTree::removeStaleUnpacks(install);
    if (!QDir(scratch.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                        | QDir::NoDotAndDotDot)
             .contains(u"install"_s))
        std::abort();
    return 0;
}
