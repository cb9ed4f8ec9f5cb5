#include "boot/boot_checks.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "boot/boot_reader.h"

namespace wh {

using nlohmann::json;

namespace {

// Above this many sectors (512 MiB) a root partition can hold Raspberry Pi OS.
constexpr std::uint64_t kSmallRootSectors = 1048576;

std::string_view status_name(CheckStatus status) {
  switch (status) {
    case CheckStatus::kPassed: return "passed";
    case CheckStatus::kWarning: return "warning";
    case CheckStatus::kFailed: return "failed";
    case CheckStatus::kSkipped: return "skipped";
  }
  return "failed";
}

// "0xc", "0x83": how partition types are shown, without leading zeros.
json type_text(const std::optional<MbrPartitionEntry>& entry) {
  if (!entry) return nullptr;
  char text[8];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(entry->partition_type));
  return text;
}

BootCheck mbr_check(bool signed_sector) {
  return {"mbr-signature", "Master boot record", signed_sector ? CheckStatus::kPassed : CheckStatus::kFailed,
          signed_sector ? "MBR signature is present." : "MBR signature is missing.", true, json::object()};
}

BootCheck partition_check(std::size_t count, const std::optional<MbrPartitionEntry>& boot,
                          const std::optional<MbrPartitionEntry>& root) {
  const bool found = boot && root;
  return {"partition-table", "Raspberry Pi partitions", found ? CheckStatus::kPassed : CheckStatus::kFailed,
          found ? "Found a FAT boot partition and Linux root partition."
                : "Expected FAT boot and Linux root partitions were not both found.",
          true,
          {{"partitionCount", count}, {"bootPartitionType", type_text(boot)}, {"rootPartitionType", type_text(root)}}};
}

BootCheck root_check(const MbrPartitionEntry& root) {
  const bool large = root.sector_count > kSmallRootSectors;
  return {"root-partition", "Root filesystem partition", large ? CheckStatus::kPassed : CheckStatus::kWarning,
          large ? "Linux root filesystem partition is present and large enough for Raspberry Pi OS."
                : "Linux root filesystem partition is present but smaller than expected.",
          true,
          {{"partition", root.number}, {"sizeBytes", std::uint64_t{root.sector_count} * kSectorSize}}};
}

BootCheck boot_sector_check(const MbrPartitionEntry& boot, const Fat32BootSector& sector) {
  const bool readable = passes_inspection_rule(sector);
  std::string message = "Boot partition does not have a readable FAT layout.";
  if (readable) {
    message = "Boot partition has a readable FAT layout";
    if (!sector.file_system_type.empty()) message += " (" + sector.file_system_type + ")";
    message += ".";
  }
  return {"boot-sector", "Boot filesystem", readable ? CheckStatus::kPassed : CheckStatus::kFailed,
          std::move(message), true,
          {{"partition", boot.number},
           {"bytesPerSector", sector.bytes_per_sector},
           {"sectorsPerCluster", sector.sectors_per_cluster}}};
}

BootCheck boot_files_check(const std::vector<std::string>& names) {
  std::vector<std::string> missing;
  if (!contains_short_name(names, "CONFIG.TXT")) missing.push_back("config.txt");
  if (!contains_short_name(names, "CMDLINE.TXT")) missing.push_back("cmdline.txt");
  if (!contains_short_name_pattern(names, "START", "ELF")) missing.push_back("start*.elf");
  if (!contains_short_name_pattern(names, "FIXUP", "DAT")) missing.push_back("fixup*.dat");
  if (!contains_short_name_pattern(names, "KERNEL", "IMG")) missing.push_back("kernel*.img");
  std::string joined;
  for (const std::string& name : missing) joined += (joined.empty() ? "" : ", ") + name;
  BootCheck row{"boot-files", "Raspberry Pi boot files", CheckStatus::kPassed,
                "Boot partition contains Raspberry Pi firmware, kernel, and command-line files.", false,
                {{"filesSeen", names.size()}, {"missing", missing.empty() ? json(nullptr) : json(joined)}}};
  if (!missing.empty()) {
    row.status = CheckStatus::kWarning;
    row.message = "Boot file scan could not confirm expected file(s): " + joined +
                  ". Byte-for-byte verification will continue before the card is marked ready.";
  }
  return row;
}

}  // namespace

json BootCheck::to_json() const {
  return json{{"id", id},         {"label", label},       {"status", status_name(status)},
              {"message", message}, {"critical", critical}, {"details", details}};
}

namespace {

// The digest in lower case, or empty when the text is not 64 hexadecimal
// characters: "abc" equal to "abc" proves nothing about the card.
std::string digest_or_empty(std::string_view text) {
  if (text.size() != 64) return {};
  std::string digest(text);
  for (char& c : digest) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
  }
  return digest;
}

}  // namespace

BootCheck image_check(const ImageEvidence& evidence) {
  BootCheck row{"image-hash", "Byte-for-byte image verification", CheckStatus::kFailed,
                "The card contents do not match the prepared image.", true,
                {{"expectedSha256", evidence.expected_sha256},
                 {"observedSha256", evidence.observed_sha256},
                 {"verifiedBytes", evidence.verified_bytes},
                 {"checksumSkipped", evidence.skip_checksum && !evidence.mount_side_effects_only}}};
  const std::string expected = digest_or_empty(evidence.expected_sha256);
  const std::string observed = digest_or_empty(evidence.observed_sha256);
  const bool whole = !expected.empty() && !observed.empty() && evidence.verified_bytes == evidence.image_bytes;
  if (evidence.mount_side_effects_only) row.details["mountSideEffectsOnly"] = true;
  if (evidence.skip_checksum && !evidence.mount_side_effects_only) {
    row.status = CheckStatus::kSkipped;
    row.critical = false;
    row.message = "Byte-for-byte checksum is skipped until boot files are confirmed present.";
  } else if (whole && observed == expected) {
    row.status = CheckStatus::kPassed;
    row.message = "Every byte written to the target matches the prepared Raspberry Pi OS image.";
  } else if (whole && evidence.mount_side_effects_only) {
    // The classification compared every byte; the digests cannot agree once
    // Windows has mounted the card.
    row.status = CheckStatus::kPassed;
    row.message = "Every byte written to the target matches the prepared Raspberry Pi OS image, except the FAT "
                  "metadata Windows rewrote when it mounted the card.";
  }
  return row;
}

BootCheck media_read_failure(std::string message) {
  return {"boot-media-read", "Boot media inspection", CheckStatus::kFailed, std::move(message), true,
          json::object()};
}

void inspect_boot_media(Handle& drive, std::uint32_t device_sector_bytes, std::vector<BootCheck>& checks) {
  auto sector0 = read_disk_sectors(drive, 0, 1, device_sector_bytes);
  if (!sector0) return checks.push_back(media_read_failure(std::move(sector0).error()));
  checks.push_back(mbr_check(has_boot_signature(*sector0)));
  if (checks.back().status == CheckStatus::kFailed) return;

  const auto entries = parse_partition_table(*sector0);
  const auto boot = find_boot_partition(entries);
  const auto root = find_root_partition(entries, boot);
  checks.push_back(partition_check(entries.size(), boot, root));
  if (!boot || !root) return;
  checks.push_back(root_check(*root));

  auto first = read_disk_sectors(drive, boot->start_lba, 1, device_sector_bytes);
  if (!first) return checks.push_back(media_read_failure(std::move(first).error()));
  const Fat32BootSector sector = parse_fat32_boot_sector(*first);
  checks.push_back(boot_sector_check(*boot, sector));
  if (checks.back().status == CheckStatus::kFailed) return;

  auto directory = read_root_directory(drive, boot->start_lba, sector, device_sector_bytes);
  if (!directory) return checks.push_back(media_read_failure(std::move(directory).error()));
  checks.push_back(boot_files_check(list_short_names(*directory)));
}

bool checks_succeeded(const std::vector<BootCheck>& checks) {
  return std::none_of(checks.begin(), checks.end(), [](const BootCheck& check) {
    return check.critical && check.status == CheckStatus::kFailed;
  });
}

}  // namespace wh
