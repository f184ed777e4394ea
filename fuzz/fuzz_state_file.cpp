// SPDX-License-Identifier: GPL-3.0-or-later
// The state file through the questions of its two readers, the install
// record and the feed marks: another process of the user can write anything
// there. The file is a path, so each input is written to a scratch file
// first, and the folder emptied after.
#include "base/StateFile.h"
#include "feeds/FeedMarks.h"
#include "install/InstallRecord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace Qt::StringLiterals;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Memory-backed where there is one: the file is rewritten for every input.
    static QTemporaryDir scratch((QFileInfo(u"/dev/shm"_s).isWritable() ? u"/dev/shm"_s
                                                                          : QDir::tempPath())
                                 + u"/fuzz-state-XXXXXX"_s);
    static const QString path = scratch.filePath(u"installed.json"_s);
    const QString code = u"{5E1F0C2A-7B3D-4C9E-8A61-2D4F6B8E0A13}"_s;

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        std::abort();
    file.close();
    StateFile state(path);
    const InstallRecord record(&state);
    (void)record.isInstalled(code, u"core-2.1"_s, u"2.1"_s);
    (void)FeedMarks(&state).mark(code);
    // A file it cannot read is moved aside under a new name; those would pile up.
    QDir folder(scratch.path());
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden))
        folder.remove(name);
    return 0;
}
