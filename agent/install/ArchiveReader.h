// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <atomic>

// Reads an archive update (tar: ustar, pax or GNU; plain, gzip, xz or zstd)
// and refuses whatever could reach outside its tree or is not a plain tree of
// folders, files and relative symbolic links. With a folder to write into it
// also unpacks, creating everything below that folder's descriptor without
// ever following a link; without one it only checks, as the vendor's tool
// does, in the same words.
class ArchiveReader
{
public:
    static constexpr qint64 MaxEntries = 100000;
    static constexpr int MaxNameBytes = 4096;

    struct Outcome
    {
        // Empty when the archive was read (and written) whole; else which
        // entry and why: "entry \"a/../b\" has a \"..\" component".
        QString error;
        // The error is this machine's (a write failed), not the archive's.
        bool localFailure = false;
        qint64 entries = 0;
        qint64 fileBytes = 0; // the regular files' sizes added up
    };

    // Reads the archive at archiveFd (read with pread: its offset is not
    // used) whose regular files may add up to unpackedLimit bytes. When
    // treeFd is a folder, writes the tree into it and syncs its file system.
    // Stops with an error soon after *stop becomes true.
    static Outcome read(int archiveFd, qint64 unpackedLimit, int treeFd = -1,
                        const std::atomic<bool> *stop = nullptr);
};
