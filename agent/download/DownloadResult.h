// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The result codes of OnDownloadComplete. The client shows GetText(1) for
// anything but Success, so every failure also leaves a text on the item.
//
//   0  Success           the file arrived whole and its SHA-256 matched
//   1  Cancelled         Cancel() stopped the download
//   2  SourceFailed      the source gave nothing: HTTP error status,
//                        connection refused, file missing
//   3  TimedOut          no data arrived for the stall time (--stall-timeout)
//   4  WrongSize         the source sent fewer or more bytes than the feed says,
//                        a connection closed midway included
//   5  ChecksumMismatch  all bytes arrived but their SHA-256 differs
//   6  LocalFileFailed   the file could not be written in the install folder
enum class DownloadResult : int {
    Success = 0,
    Cancelled = 1,
    SourceFailed = 2,
    TimedOut = 3,
    WrongSize = 4,
    ChecksumMismatch = 5,
    LocalFileFailed = 6,
};
