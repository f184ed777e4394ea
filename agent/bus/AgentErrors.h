// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// D-Bus error names for calls that make no sense in an item's state, or
// that would take more than a client may hold.
namespace AgentErrors {

inline constexpr char16_t InProgress[] = u"com.palvane.UpdateService.Error.InProgress";
inline constexpr char16_t AlreadyInstalled[] = u"com.palvane.UpdateService.Error.AlreadyInstalled";
inline constexpr char16_t Claimed[] = u"com.palvane.UpdateService.Error.Claimed";
inline constexpr char16_t InstallFailed[] = u"com.palvane.UpdateService.Error.InstallFailed";
inline constexpr char16_t LimitExceeded[] = u"com.palvane.UpdateService.Error.LimitExceeded";

} // namespace AgentErrors
