// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Reads a file the agent does not control (product files, feeds, the state
// file). Only a regular file of at most maxBytes is read; a FIFO, a device
// or a huge file is refused at once instead of blocking or filling memory.
// A symlink to a regular file is followed.
namespace BoundedFile {

constexpr qint64 DefaultLimit = 1024 * 1024;

// Why a file was not read: its kind or size, or the system's refusal (no
// permission, no descriptors left), which says nothing about its content.
enum class Fault { None, System, NotRegular, TooLarge };

// The content, or nothing with *error set ("not a regular file", "larger
// than 1048576 bytes", or the system's reason).
std::optional<QByteArray> read(const QString &path, qint64 maxBytes = DefaultLimit,
                               QString *error = nullptr, Fault *fault = nullptr);

} // namespace BoundedFile
