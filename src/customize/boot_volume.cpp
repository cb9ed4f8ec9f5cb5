#include "customize/boot_volume.h"

#include <nlohmann/json.hpp>

#include "frame/powershell_runner.h"
#include "target/ps_script.h"
#include "target/volume_locks.h"

namespace wh {

using nlohmann::json;

namespace {

constexpr std::string_view kFindPartition =
    "; Set-Disk -InputObject $disk -IsOffline $false -ErrorAction SilentlyContinue; Set-Disk -InputObject $disk "
    "-IsReadOnly $false -ErrorAction SilentlyContinue; Start-Sleep -Milliseconds 750; $p = Get-Partition -Disk "
    "$disk -ErrorAction Stop | Where-Object { $_.PartitionNumber -eq 1 } | Select-Object -First 1; if (-not $p) { "
    "throw 'Boot partition 1 was not found on the selected disk.' }; if (-not $p.DriveLetter -or $p.DriveLetter "
    "-eq [char]0) { Add-PartitionAccessPath -InputObject $p -AssignDriveLetter -ErrorAction Stop; Start-Sleep "
    "-Milliseconds 500; }; $p = Get-Partition -Disk $disk -ErrorAction Stop | Where-Object { $_.PartitionNumber "
    "-eq 1 } | Select-Object -First 1; if (-not $p) { throw 'Boot partition 1 was not found on the selected "
    "disk.' }; $volume = Get-Volume -Partition $p -ErrorAction Stop; $volumeGuidPath = [string]$volume.UniqueId; "
    "if ($volumeGuidPath -notmatch ";
// Single-quoted, so PowerShell hands the regular expression over as written:
// "\\?\Volume{", hexadecimal digits or hyphens, "}\".
constexpr std::string_view kGuidPattern = R"('^\\\\\?\\Volume\{[0-9A-Fa-f-]+\}\\$')";
constexpr std::string_view kPrintRecord =
    ") { throw 'Boot partition 1 did not expose a valid volume GUID path.' }; [pscustomobject]@{ DiskNumber = "
    "[uint32]$disk.Number; PartitionNumber = [uint32]$p.PartitionNumber; DriveLetter = [string]$p.DriveLetter; "
    "VolumeGuidPath = $volumeGuidPath } | ConvertTo-Json -Compress";

// The library's text without its "[json.exception.parse_error.N] " tag.
std::string parser_message(const json::exception& error) {
  const std::string_view what = error.what();
  const std::size_t tag_end = what.find("] ");
  return std::string(tag_end == std::string_view::npos ? what : what.substr(tag_end + 2));
}

bool is_count(const json* value, std::uint64_t expected) {
  if (value == nullptr) return false;
  if (value->is_number_unsigned()) return value->get<std::uint64_t>() == expected;
  return value->is_number_integer() && value->get<std::int64_t>() >= 0 &&
         static_cast<std::uint64_t>(value->get<std::int64_t>()) == expected;
}

const json* member(const json& object, const char* name) {
  const auto found = object.find(name);
  return found == object.end() ? nullptr : &*found;
}

}  // namespace

std::string build_locate_script(const TargetIdentity& identity) {
  return "$ErrorActionPreference = 'Stop'; " + build_revalidation_script(identity, "customization") +
         std::string(kFindPartition) + std::string(kGuidPattern) + std::string(kPrintRecord);
}

HelperResult<std::string> parse_boot_volume_record(const std::string& output, std::uint32_t drive_number) {
  json record;
  try {
    record = json::parse(output);
  } catch (const json::exception& error) {
    return fail(ErrorCode::kDeviceNotRemovable,
                "Could not prove the boot volume belongs to the selected disk: " + parser_message(error));
  }
  const auto refuse = [] {
    return fail(ErrorCode::kDeviceNotRemovable,
                "Could not prove boot partition 1 has a valid volume GUID path on the selected disk.");
  };
  if (!record.is_object()) return refuse();
  const json* guid_path = member(record, "VolumeGuidPath");
  if (!is_count(member(record, "DiskNumber"), drive_number) || !is_count(member(record, "PartitionNumber"), 1) ||
      guid_path == nullptr || !guid_path->is_string() || !is_volume_guid_path(guid_path->get<std::string>())) {
    return refuse();
  }
  return guid_path->get<std::string>();
}

HelperResult<std::string> locate_boot_volume(Platform& platform, const TargetIdentity& identity) {
  auto output = run_powershell(platform, build_locate_script(identity));
  if (!output) return Err(std::move(output).error());
  return parse_boot_volume_record(*output, identity.physical_drive_number);
}

}  // namespace wh
