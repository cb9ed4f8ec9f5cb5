#include "discovery/list_disks.h"

#include <map>
#include <set>
#include <string>
#include <string_view>

#include "discovery/device_query.h"
#include "discovery/disk_volumes.h"
#include "frame/payload_fields.h"
#include "frame/powershell_runner.h"

namespace wh {

using nlohmann::json;

namespace {

// The library's text without its "[json.exception.parse_error.N] " tag.
std::string parser_message(const json::exception& error) {
  const std::string_view what = error.what();
  const std::size_t tag_end = what.find("] ");
  return std::string(tag_end == std::string_view::npos ? what : what.substr(tag_end + 2));
}

}  // namespace

std::optional<std::vector<DiskInfo>> probe_disks(Platform& platform, bool include_unavailable) {
  auto answer = run_powershell(platform, kProtectedDisksScript);
  if (!answer) return std::nullopt;
  const json reported = json::parse(*answer, nullptr, /*allow_exceptions=*/false);
  if (reported.is_discarded()) return std::nullopt;
  const std::set<std::uint32_t> protected_numbers = protected_drive_numbers(reported);

  bool described = false;
  bool descriptor_failed = false;
  std::vector<DiskInfo> disks;
  for (std::uint32_t number = 0; number < kProbedDrives; ++number) {
    // The system disk is not even opened.
    if (protected_numbers.count(number) != 0) continue;
    auto drive = open_drive_for_query(platform, number);
    if (!drive) {
      // Even a query is refused while another handle has the drive alone.
      // Listed as busy, it is told for what it is: a card that another
      // flash-card writes must not come back from Get-Disk as free.
      if (include_unavailable && drive.error().code == kErrorSharingViolation) {
        disks.push_back(busy_disk_info(number));
        described = true;
      }
      continue;
    }
    // The handle closes at the end of each turn, before the next drive opens.
    Handle& handle = **drive;
    const auto length = handle.disk_length();
    if (!length || *length == 0) {
      // An empty reader still tells what it is; it does not count as described.
      if (!include_unavailable) continue;
      if (const auto reader = read_device_description(handle); reader && is_removable_class(*reader)) {
        disks.push_back(native_disk_info(number, 0, *reader));
        disks.back().unavailable_reason = "no-medium";
      }
      continue;
    }
    const auto description = read_device_description(handle);
    if (!description) {
      descriptor_failed = true;
      continue;
    }
    described = true;
    if (!is_removable_class(*description)) continue;
    if (reports_read_only(handle)) {
      if (!include_unavailable) continue;
      disks.push_back(native_disk_info(number, *length, *description));
      disks.back().unavailable_reason = "write-protected";
      continue;
    }
    disks.push_back(native_disk_info(number, *length, *description));
  }
  // One unreadable descriptor could hide a card; then the whole probe is void.
  if (descriptor_failed || !described) return std::nullopt;
  return disks;
}

HelperResult<std::vector<DiskInfo>> list_disks_with_powershell(Platform& platform) {
  auto answer = run_powershell(platform, kDiskListingScript);
  if (!answer) return Err(std::move(answer).error());
  json listing;
  try {
    listing = json::parse(*answer);
  } catch (const json::exception& error) {
    return fail(ErrorCode::kUnknown, parser_message(error));
  }
  std::vector<DiskInfo> disks;
  for (const json& object : disk_objects(listing)) {
    if (auto disk = listed_disk(object)) disks.push_back(std::move(*disk));
  }
  return disks;
}

HelperResult<json> handle_list_disks(CommandContext& context) {
  const bool include_unavailable = optional_flag(context.request.payload, "includeUnavailable");
  auto disks = probe_disks(context.platform, include_unavailable);
  if (!disks) {
    auto listed = list_disks_with_powershell(context.platform);
    if (!listed) return Err(std::move(listed).error());
    disks = std::move(listed).value();
  }
  // The volumes are found after the disks, so that only theirs are asked
  // about; a failed enumeration leaves `volumes` out rather than empty.
  std::optional<std::vector<VolumePlace>> places;
  if (optional_flag(context.request.payload, "includeVolumes")) places = volume_places(context.platform);
  std::map<std::string, json> described;
  json entries = json::array();
  for (const DiskInfo& disk : *disks) {
    entries.push_back(disk_info_json(disk, include_unavailable));
    if (places) entries.back()["volumes"] = volumes_on_disk(context.platform, *places, disk.number, described);
  }
  return json{{"disks", std::move(entries)}};
}

}  // namespace wh
