#include "raw/fat_metadata.h"

#include <algorithm>
#include <limits>

namespace wh {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Saturating, so that no sum or product of on-disk fields can wrap around
// and land a range on the boot sector.
std::uint64_t add(std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; }
std::uint64_t mul(std::uint64_t a, std::uint64_t b) { return b != 0 && a > kMax / b ? kMax : a * b; }

// FAT entry 1, bytes 4 to 7 of the FAT's first sector, holds the
// clean-shutdown flag; the rest of that sector holds real cluster chains.
constexpr std::uint64_t kFatEntry1Start = 4;
constexpr std::uint64_t kFatEntry1End = 8;

}  // namespace

std::vector<ByteRange> fat_metadata_ranges(const Fat32BootSector& boot, std::uint64_t part_start,
                                           std::uint64_t part_end) {
  const std::uint64_t bps = boot.bytes_per_sector;
  std::vector<ByteRange> ranges;
  auto push = [&](std::uint64_t start, std::uint64_t end) {
    end = std::min(end, part_end);
    if (start < end) ranges.push_back({start, end});
  };
  auto whole_sector = [&](std::uint64_t sector) {
    const std::uint64_t start = add(part_start, mul(sector, bps));
    push(start, add(start, bps));
  };
  const std::uint64_t reserved = boot.reserved_sectors;
  const std::uint64_t fs_info = boot.fs_info_sector;
  const std::uint64_t backup = boot.backup_boot_sector;
  if (fs_info != 0 && fs_info < reserved) whole_sector(fs_info);
  if (fs_info != 0 && backup != 0 && fs_info + backup < reserved) whole_sector(fs_info + backup);
  for (std::uint64_t k = 0; k < boot.number_of_fats; ++k) {
    const std::uint64_t fat_start = add(part_start, mul(add(reserved, mul(k, boot.fat_size32)), bps));
    push(add(fat_start, kFatEntry1Start), add(fat_start, kFatEntry1End));
  }
  return ranges;
}

TextResult<std::vector<ByteRange>> known_fat_metadata_ranges(Handle& image, std::uint64_t bytes_total) {
  return known_fat_metadata_ranges([&image](std::uint64_t lba) { return read_disk_sectors(image, lba, 1); },
                                   bytes_total);
}

TextResult<std::vector<ByteRange>> known_fat_metadata_ranges(const SectorReader& read_sector,
                                                             std::uint64_t bytes_total) {
  auto sector0 = read_sector(0);
  if (!sector0) return Err(std::move(sector0).error());
  if (!has_boot_signature(*sector0)) return std::vector<ByteRange>{};
  for (const MbrPartitionEntry& entry : parse_partition_table(*sector0)) {
    if (!is_fat_boot_type(entry.partition_type)) continue;
    // Partition-table units are 512 bytes, whatever the boot sector says.
    const std::uint64_t part_start = std::uint64_t{entry.start_lba} * kSectorSize;
    const std::uint64_t part_end =
        std::min(part_start + std::uint64_t{entry.sector_count} * kSectorSize, bytes_total);
    if (part_start == 0 || part_end <= part_start) continue;
    auto sector = read_sector(entry.start_lba);
    if (!sector) return Err(std::move(sector).error());
    const Fat32BootSector boot = parse_fat32_boot_sector(*sector);
    if (!passes_metadata_rule(boot)) continue;
    // The first sound boot partition decides, whatever it yields.
    return fat_metadata_ranges(boot, part_start, part_end);
  }
  return std::vector<ByteRange>{};
}

}  // namespace wh
