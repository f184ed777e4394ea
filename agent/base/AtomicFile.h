// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>
#include <QString>

// Files replaced whole: a new file beside the old one, synced, then one
// rename, so a crash leaves the old content or the new, never half of either.
namespace AtomicFile {

// Writes content to path through `.<name>.XXXXXX` in the same folder, which
// must exist. A symlink at path is refused, never followed: whoever planted
// it does not get its target overwritten. The folder is synced afterwards.
bool replace(const QString &path, QByteArrayView content, QString *error);

// Makes the folder `path`, and its parents, unless it exists. The folder
// itself must be a folder, not a symlink to one: what replace() writes in
// it would land wherever the link points. *error says why not.
bool makeFolder(const QString &path, QString *error);

// Whether a name is one of replace()'s temporary files for a file called
// `name`, as a crash between the write and the rename leaves behind.
bool isTemporaryOf(const QString &entry, const QString &name);

// fsync of a folder, so that a rename in it is on disk.
void syncFolder(const QString &path);

} // namespace AtomicFile
