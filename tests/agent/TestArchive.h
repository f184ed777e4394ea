// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Tar archives made in the test, hostile ones included, with libarchive's
// writer (pax), optionally compressed.
namespace TestArchive {

struct Entry
{
    QByteArray path;
    // 'f' file, 'd' folder, 'l' symbolic link, 'h' hard link, 'c' device,
    // 'p' FIFO
    char type = 'f';
    QByteArray data;   // a file's bytes
    QByteArray target; // a link's target
    int mode = 0644;
};

inline Entry aFile(const QByteArray &path, const QByteArray &data = "x", int mode = 0644)
{
    return {path, 'f', data, {}, mode};
}
inline Entry aFolder(const QByteArray &path, int mode = 0755)
{
    return {path, 'd', {}, {}, mode};
}
inline Entry aLink(const QByteArray &path, const QByteArray &target, char type = 'l')
{
    return {path, type, {}, target, 0777};
}
inline Entry aSpecial(const QByteArray &path, char type)
{
    return {path, type, {}, {}, 0644};
}

// filter: "none", "gzip", "xz" or "zstd".
QByteArray make(const QList<Entry> &entries, const char *filter = "none");
// One tar header block, byte by byte as given (a name field may hold
// anything), with its checksum; gnu: the old GNU magic instead of ustar's.
QByteArray header(const QByteArray &nameField, char type, qint64 size, bool gnu = false);
// Data padded to whole blocks; the end of an archive.
QByteArray blocks(const QByteArray &data);
inline QByteArray end() { return QByteArray(1024, '\0'); }

// Every path below folder, hidden ones included, with its type and mode
// ("d755 bin", "l .app-1 -> x"): what a test compares before and after.
QStringList listing(const QString &folder);

} // namespace TestArchive
