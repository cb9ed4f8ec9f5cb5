// libFuzzer target for the card reader: any bytes, read as a card, go through
// the boot-readiness inspection and the FAT metadata search of the readback.
// Neither may crash, read outside the image or loop; the report must keep its
// order, stop at its first failed row, serialize, and come out the same when
// the card answers in short or interrupted reads; every metadata range
// must lie inside the image and its FAT partition and spare the boot sector.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "boot/boot_checks.h"
#include "boot/boot_reader.h"
#include "memory_handle.h"
#include "raw/fat_metadata.h"

namespace {

// The row ids in report order; a media-read row may stand in for any row
// that reads.
const std::vector<std::vector<std::string>> kReportOrder = {
    {"mbr-signature", "boot-media-read"},
    {"partition-table"},
    {"root-partition"},
    {"boot-sector", "boot-media-read"},
    {"boot-files", "boot-media-read"},
};

bool one_of(const std::string& id, const std::vector<std::string>& ids) {
  for (const std::string& candidate : ids) {
    if (candidate == id) return true;
  }
  return false;
}

void check_report(const std::vector<wh::BootCheck>& checks) {
  if (checks.empty() || checks.size() > kReportOrder.size()) std::abort();
  for (std::size_t k = 0; k < checks.size(); ++k) {
    if (!one_of(checks[k].id, kReportOrder[k])) std::abort();
    const bool failed = checks[k].status == wh::CheckStatus::kFailed;
    // The report stops at its first failed row.
    if (failed && k + 1 != checks.size()) std::abort();
    if (checks[k].id == "boot-media-read" && !failed) std::abort();
    // Texts from the card reach the JSON; a byte that is not UTF-8 would
    // make dump() throw.
    try {
      (void)checks[k].to_json().dump();
    } catch (...) {
      std::abort();
    }
  }
  // Only a failed row ends it before the boot-file scan.
  const auto& last = checks.back();
  if (last.status != wh::CheckStatus::kFailed && last.id != "boot-files") std::abort();
}

// The partition's first byte and end, as the metadata search takes them.
struct Span {
  std::uint64_t start;
  std::uint64_t end;
};

void check_ranges(const std::vector<wh::ByteRange>& ranges, std::span<const std::uint8_t> image,
                  std::uint64_t bytes_total) {
  if (ranges.empty()) return;
  // The deciding partition is the first FAT-type one whose boot sector passes.
  const auto entries = wh::parse_partition_table(image.first(512));
  for (const auto& entry : entries) {
    if (!wh::is_fat_boot_type(entry.partition_type)) continue;
    const Span part{std::uint64_t{entry.start_lba} * 512,
                    std::min<std::uint64_t>(std::uint64_t{entry.start_lba} * 512 +
                                                std::uint64_t{entry.sector_count} * 512,
                                            bytes_total)};
    if (part.end <= part.start || part.start + 512 > image.size()) continue;
    const auto boot = wh::parse_fat32_boot_sector(image.subspan(part.start, 512));
    if (!wh::passes_metadata_rule(boot)) continue;
    // Two FAT entries and two FSInfo sectors at most, never the boot sector.
    if (ranges.size() > 255 + 2) std::abort();
    for (const wh::ByteRange& range : ranges) {
      if (range.start >= range.end || range.end > part.end || range.end > bytes_total) std::abort();
      if (range.start < part.start + boot.bytes_per_sector) std::abort();
    }
    return;
  }
  std::abort();  // ranges without a partition that yields them
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const wh::Bytes image(data, data + size);

  wh::MemoryHandle drive(image);
  std::vector<wh::BootCheck> checks;
  wh::inspect_boot_media(drive, 512, checks);
  check_report(checks);
  // Sector 0, the boot sector, then two reads a cluster for at most 256
  // root-directory clusters: bounded whatever the chain says.
  if (drive.seeks > 2 + 2 * 256) std::abort();

  // Short and interrupted reads are filled and repeated: the same report.
  wh::MemoryHandle slow(image);
  slow.chunk = 1 + (size > 0 ? data[size - 1] % 700 : 0);
  slow.interrupted_reads = 3;
  std::vector<wh::BootCheck> again;
  wh::inspect_boot_media(slow, 512, again);
  if (again.size() != checks.size()) std::abort();
  for (std::size_t k = 0; k < checks.size(); ++k) {
    if (again[k].to_json() != checks[k].to_json()) std::abort();
  }

  // A disk of 4096-byte sectors, read in its own sectors and cut to 512-byte
  // ones (it refuses anything else), gives the report a 512-byte disk of the
  // same bytes gives. Disks end on a sector of their own.
  wh::Bytes whole = image;
  whole.resize((size + 4095) / 4096 * 4096);
  wh::MemoryHandle small_sectors(whole), large_sectors(whole);
  large_sectors.device_sector = 4096;
  std::vector<wh::BootCheck> expected, large;
  wh::inspect_boot_media(small_sectors, 512, expected);
  wh::inspect_boot_media(large_sectors, 4096, large);
  if (large.size() != expected.size()) std::abort();
  for (std::size_t k = 0; k < expected.size(); ++k) {
    if (large[k].to_json() != expected[k].to_json()) std::abort();
  }

  wh::MemoryHandle copy(image);
  auto ranges = wh::known_fat_metadata_ranges(copy, size);
  if (ranges && size >= 512) check_ranges(*ranges, image, size);
  if (!ranges && size >= 512 && ranges.error().empty()) std::abort();
  return 0;
}
