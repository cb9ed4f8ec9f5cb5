#include "target/target_identity.h"

#include <array>

#include "discovery/device_query.h"
#include "frame/payload_fields.h"
#include "platform/unicode.h"
#include "target/windows_disk.h"

namespace wh {

using nlohmann::json;

namespace {

Err<HelperError> refuse(std::string message) { return fail(ErrorCode::kDeviceNotRemovable, std::move(message)); }

std::string not_started(std::string_view what, std::string_view step) {
  return std::string(what) + "; " + std::string(step) + " was not started.";
}

// needed_disks' sentence when Windows refused access: the reason it quotes
// holds the system's text of ERROR_ACCESS_DENIED or WSAEACCES.
bool denied_access(std::string_view sentence) {
  return sentence.find("(os error " + std::to_string(kErrorAccessDenied) + ")") != std::string_view::npos ||
         sentence.find("(os error " + std::to_string(kWsaEaccess) + ")") != std::string_view::npos;
}

bool is_ascii_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

HelperResult<std::string> resolve_target_path(const json& payload) {
  if (const json* path = payload_member(payload, "osDevicePath"); path && path->is_string()) {
    return path->get<std::string>();
  }
  if (const json* id = payload_member(payload, "deviceId"); id && id->is_string()) {
    if (auto number = parse_drive_number(id->get_ref<const std::string&>())) return physical_drive_path(*number);
  }
  return fail(ErrorCode::kUnknown, "Missing osDevicePath/deviceId payload field");
}

std::optional<std::uint32_t> parse_drive_number(std::string_view text) {
  constexpr std::string_view kMarker = "physicaldrive";
  const std::string lower = ascii_lower(text);
  const std::size_t at = lower.rfind(kMarker);
  if (at == std::string::npos) return std::nullopt;
  std::uint32_t number = 0;
  bool any = false;
  for (std::size_t i = at + kMarker.size(); i < lower.size() && lower[i] >= '0' && lower[i] <= '9'; ++i) {
    const auto digit = static_cast<std::uint32_t>(lower[i] - '0');
    // Checked before every digit, so no value wraps into range.
    if (number > (UINT32_MAX - digit) / 10) return std::nullopt;
    number = number * 10 + digit;
    any = true;
  }
  if (!any) return std::nullopt;
  return number;
}

std::optional<std::string> normalize_serial(const std::optional<std::string>& serial) {
  if (!serial) return std::nullopt;
  const std::string text = ascii_lower(trim_unicode_whitespace(utf8_lossy(*serial)));
  static constexpr std::array<std::string_view, 6> kPlaceholders = {"n/a", "none", "null",
                                                                    "unknown", "undefined", "no-serial"};
  if (text.empty()) return std::nullopt;
  for (std::string_view placeholder : kPlaceholders) {
    if (text == placeholder) return std::nullopt;
  }
  bool meaningful = false;
  for (char c : text) meaningful = meaningful || (is_ascii_alnum(c) && c != '0');
  if (!meaningful) return std::nullopt;
  return text;
}

std::optional<TargetIdentity> query_live_identity(Handle& drive, std::uint32_t number) {
  auto length = drive.disk_length();
  if (!length) return std::nullopt;
  auto description = read_device_description(drive);
  if (!description || !is_removable_class(*description)) return std::nullopt;
  if (reports_read_only(drive)) return std::nullopt;
  return TargetIdentity{description->serial, *length, number};
}

HelperStatus compare_identity(const TargetIdentity& expected, const TargetIdentity& live, std::string_view step) {
  if (expected.physical_drive_number != live.physical_drive_number || expected.size_bytes != live.size_bytes) {
    return refuse(not_started("Target identity changed after preparation", step));
  }
  if (!expected.serial) return {};
  const auto live_serial = normalize_serial(live.serial);
  if (!live_serial || *live_serial != *expected.serial) {
    return refuse(not_started("Target serial changed after preparation", step));
  }
  return {};
}

HelperResult<TargetIdentity> validate_expected_identity(Platform& platform, const json& payload,
                                                        std::uint32_t path_drive_number, std::string_view step) {
  const json* identity = payload_member(payload, "expectedIdentity");
  if (identity == nullptr || !identity->is_object()) {
    return refuse(not_started("Missing expected immutable target identity", step));
  }
  const json* drive = payload_member(*identity, "physicalDriveNumber");
  if (drive == nullptr || !drive->is_string()) {
    return refuse(not_started("Expected physical drive identity is missing", step));
  }
  const auto expected_number = parse_drive_number(drive->get_ref<const std::string&>());
  if (!expected_number) return refuse(not_started("Expected physical drive identity is invalid", step));
  const json* size = payload_member(*identity, "sizeBytes");
  if (size == nullptr || !size->is_number_unsigned()) {
    return refuse(not_started("Expected target capacity is missing", step));
  }
  TargetIdentity expected;
  expected.physical_drive_number = *expected_number;
  expected.size_bytes = size->get<std::uint64_t>();
  // Absent or null is "no serial known"; any other non-text would silently
  // switch the swap check off.
  if (const json* serial = payload_member(*identity, "serial"); serial && !serial->is_null()) {
    if (!serial->is_string()) return refuse(not_started("Expected target serial is invalid", step));
    expected.serial = normalize_serial(serial->get<std::string>());
  }
  if (expected.physical_drive_number != path_drive_number) {
    return refuse(not_started("Target identity changed after preparation", step));
  }
  // Whatever its bus, a disk that Windows needs is never a target. Only an
  // administrator may open the Windows volume to ask for its disks: a helper
  // that is not elevated learns it here first.
  auto needed = needed_disks(platform);
  if (!needed) {
    if (denied_access(needed.error())) return Err(map_open_error(OsError{kErrorAccessDenied, ""}));
    return refuse(not_started(needed.error(), step));
  }
  for (const NeededDisk& disk : *needed) {
    if (disk.number == path_drive_number) return refuse(not_started(needed_disk_text(disk.role), step));
  }

  std::optional<TargetIdentity> live;
  if (auto query = open_drive_for_query(platform, path_drive_number)) {
    live = query_live_identity(**query, path_drive_number);
  } else if (query.error().code == kErrorAccessDenied || query.error().code == kWsaEaccess) {
    return Err(map_open_error(query.error()));
  }  // the query handle is closed here, before anything else happens
  if (!live) {
    return refuse("Could not validate the selected removable target before " + std::string(step) + ".");
  }
  if (auto same = compare_identity(expected, *live, step); !same) return Err(std::move(same).error());
  return expected;
}

HelperStatus revalidate_raw_handle(Handle& raw, const TargetIdentity& expected, std::string_view step) {
  const auto live = query_live_identity(raw, expected.physical_drive_number);
  if (!live) {
    return refuse(not_started("Could not revalidate the selected removable target through the exact raw handle",
                              step));
  }
  return compare_identity(expected, *live, step);
}

std::string raw_target_path(const TargetIdentity& identity) {
  return physical_drive_path(identity.physical_drive_number);
}

HelperError map_open_error(const OsError& error) {
  if (error.code == kErrorAccessDenied || error.code == kWsaEaccess) {
    return {ErrorCode::kElevationDenied,
            "Windows denied exclusive raw disk access. Run Tovrin Zarerud as administrator, close File "
            "Explorer windows for this target, unplug and reconnect it, then try again."};
  }
  return {ErrorCode::kDeviceDisconnected, error.text()};
}

}  // namespace wh
