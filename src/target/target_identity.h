// Proving that the disk a command is about to touch is the one the user
// picked: the target path and its drive number, the expected identity from
// the request, the live identity read from the device, their comparison, and
// the same check through the very raw handle that will be read or written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "frame/errors.h"
#include "platform/platform.h"

namespace wh {

struct TargetIdentity {
  std::optional<std::string> serial;  // normalized; absent when none is known
  std::uint64_t size_bytes = 0;
  std::uint32_t physical_drive_number = 0;
};

// `osDevicePath` verbatim, else "\\.\PhysicalDriveN" from `deviceId`;
// otherwise UNKNOWN "Missing osDevicePath/deviceId payload field".
HelperResult<std::string> resolve_target_path(const nlohmann::json& payload);

// The digits after the last "physicaldrive" (any letter case) as an unsigned
// 32-bit number; nullopt when there are none or they overflow.
std::optional<std::uint32_t> parse_drive_number(std::string_view text);

// Trimmed and lower-cased; absent for placeholders ("n/a", "none", …) and for
// texts without a letter or digit other than "0".
std::optional<std::string> normalize_serial(const std::optional<std::string>& serial);

// Length, descriptor and attributes through `drive`, opened as drive `number`.
// Nullopt when the device is not eligible: no length, no descriptor, not
// removable-class, or read-only. The serial is returned as the device gives
// it, not normalized.
std::optional<TargetIdentity> query_live_identity(Handle& drive, std::uint32_t number);

// The refusal when `live` is not `expected`: drive number or capacity first,
// then the serial when one is expected.
HelperStatus compare_identity(const TargetIdentity& expected, const TargetIdentity& live,
                              std::string_view step);

// Reads `expectedIdentity` from the payload, checks it against the drive
// number of the target path and against the device as it is now (through a
// fresh query handle, closed again). Every refusal is DEVICE_NOT_REMOVABLE.
HelperResult<TargetIdentity> validate_expected_identity(Platform& platform, const nlohmann::json& payload,
                                                        std::uint32_t path_drive_number,
                                                        std::string_view step);

// The same proof through the caller's open raw handle, before the first read
// or write through it. The handle stays open and its position unchanged.
HelperStatus revalidate_raw_handle(Handle& raw, const TargetIdentity& expected, std::string_view step);

// The path every raw open of the target uses: the drive that was proven,
// whatever spelling the request's path had.
std::string raw_target_path(const TargetIdentity& identity);

// A failed raw open: access denied is ELEVATION_DENIED with the fixed advice,
// anything else DEVICE_DISCONNECTED with the system's text.
HelperError map_open_error(const OsError& error);

}  // namespace wh
