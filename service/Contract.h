// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

// The names and values of the update service's D-Bus contract, for both its
// sides and their tests. Members and signatures are in the
// com.palvane.UpdateService*.xml files beside this one; tests/e2e/contract.py
// holds the same names for the Python tests.
namespace Contract {

inline constexpr char16_t ServiceName[] = u"com.palvane.UpdateService";
inline constexpr char16_t ServicePath[] = u"/com/palvane/UpdateService";

// On the service object.
inline constexpr char16_t AgentInterface[] = u"com.palvane.UpdateService.Agent";
inline constexpr char16_t ServiceInterface[] = u"com.palvane.UpdateService.Service";
// Beside those, for tools and diagnostics: why a product is offered what it
// is. A service need not provide it; a client must not depend on it.
inline constexpr char16_t StatusInterface[] = u"com.palvane.UpdateService.Status";
// On the objects whose paths the service hands out.
inline constexpr char16_t CollectionInterface[] = u"com.palvane.UpdateService.UpdateCollection";
inline constexpr char16_t ItemInterface[] = u"com.palvane.UpdateService.UpdateItem";
inline constexpr char16_t ItemEventsInterface[] = u"com.palvane.UpdateService.UpdateItemEvents";

// The error replies of the reference agent: calls that make no sense in an
// item's state, or that would take more than a client may hold.
namespace Error {
inline constexpr char16_t InProgress[] = u"com.palvane.UpdateService.Error.InProgress";
inline constexpr char16_t AlreadyInstalled[] = u"com.palvane.UpdateService.Error.AlreadyInstalled";
inline constexpr char16_t Claimed[] = u"com.palvane.UpdateService.Error.Claimed";
inline constexpr char16_t InstallFailed[] = u"com.palvane.UpdateService.Error.InstallFailed";
inline constexpr char16_t LimitExceeded[] = u"com.palvane.UpdateService.Error.LimitExceeded";
} // namespace Error

// The 16-bit booleans (D-Bus "n"). Nothing else is coerced: 1 is not True.
inline constexpr qint16 True = -1;
inline constexpr qint16 False = 0;

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

} // namespace Contract
