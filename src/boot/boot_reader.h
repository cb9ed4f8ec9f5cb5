// The read-only decoder of a card's first structures: 512-byte sectors, the
// MBR partition table, the FAT32 boot sector of the boot partition, its root
// directory's cluster chain and the short (8.3) names in it. The one place
// where these byte layouts are defined; it works on a raw drive handle and on
// an image file alike.
//
// Every position is counted in 512-byte sectors, whatever the boot sector's
// `bytesPerSector` says: that field is validated and reported, never used for
// arithmetic. All arithmetic is unsigned 64-bit and saturates rather than
// wraps.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace wh {

inline constexpr std::uint64_t kSectorSize = 512;

// A failure told as the text the caller reports.
template <typename T>
using TextResult = Result<T, std::string>;

// One present slot of the MBR partition table.
struct MbrPartitionEntry {
  std::uint32_t number = 0;  // the slot plus one, 1 to 4
  std::uint32_t start_lba = 0;
  std::uint8_t partition_type = 0;
  std::uint32_t sector_count = 0;
};

struct Fat32BootSector {
  std::uint16_t bytes_per_sector = 0;
  std::uint8_t sectors_per_cluster = 0;
  std::uint16_t reserved_sectors = 0;
  std::uint8_t number_of_fats = 0;
  std::uint32_t fat_size32 = 0;
  // The FAT12/FAT16 FAT size; 0 on every FAT32 volume.
  std::uint16_t fat_size16 = 0;
  std::uint32_t root_cluster = 0;
  std::uint16_t fs_info_sector = 0;
  std::uint16_t backup_boot_sector = 0;
  std::string file_system_type;  // "FAT32" on a normal card
  bool has_signature = false;
};

// The type ids that make a FAT boot partition: FAT12, FAT16 (small, normal and
// LBA), FAT32 (CHS and LBA) and the EFI system partition.
bool is_fat_boot_type(std::uint8_t partition_type);
inline constexpr std::uint8_t kLinuxPartitionType = 0x83;

// Bytes 510 and 511 are 0x55 0xAA (false for anything shorter).
bool has_boot_signature(std::span<const std::uint8_t> sector);

// Exactly `count` × 512 bytes from byte `lba` × 512. Texts: "Sector offset
// overflow" (above the last LBA whose byte offset fits a signed 64-bit value,
// without touching the handle), "failed to fill whole buffer" (the data ended
// first), or the system's text of a failing seek or read. Interrupted reads
// are repeated. With count 0 it seeks and reads nothing. A drive whose
// logical sectors (`device_sector_bytes`, a power of two) are larger than 512
// bytes is read in whole sectors of its own, those that hold the run, and
// the run is cut out of them; files take the default.
TextResult<Bytes> read_disk_sectors(Handle& handle, std::uint64_t lba, std::uint64_t count,
                                    std::uint32_t device_sector_bytes = kSectorSize);

// The present entries (type, first sector and sector count all non-zero) of
// the four slots, in slot order. `sector0` holds at least 512 bytes.
std::vector<MbrPartitionEntry> parse_partition_table(std::span<const std::uint8_t> sector0);

// The first entry, in slot order, of a FAT boot type.
std::optional<MbrPartitionEntry> find_boot_partition(const std::vector<MbrPartitionEntry>& entries);

// The first entry of type 0x83 other than `boot` (any, when there is none).
std::optional<MbrPartitionEntry> find_root_partition(const std::vector<MbrPartitionEntry>& entries,
                                                     const std::optional<MbrPartitionEntry>& boot);

// The FAT32 fields of a sector of at least 90 bytes (the signature counts
// only when the sector holds 512).
Fat32BootSector parse_fat32_boot_sector(std::span<const std::uint8_t> sector);

// The sanity rule for inspecting a card: signature, 512 ≤ bytesPerSector ≤
// 4096, and non-zero cluster size, reserved sectors, FAT count and FAT size,
// with the root directory at cluster 2 or later.
bool passes_inspection_rule(const Fat32BootSector& boot);

// The rule for locating FAT metadata in an image: signature, bytesPerSector a
// power of two from 512 to 4096, non-zero FAT size, FAT count and reserved
// sectors, and no FAT12/FAT16 FAT size (on such a volume the FAT32 fields
// hold other data, and entry 1 is not where a mount writes).
bool passes_metadata_rule(const Fat32BootSector& boot);

// The root directory's clusters in chain order, read from the partition that
// starts at `start_lba`. The walk stops without error after 256 clusters, at
// a cluster below 2, at a cluster already read (a loop) and at an end-of-chain
// mark (0x0FFFFFF8 or more). Texts: those of read_disk_sectors, and "FAT table
// entry was shorter than expected.".
// `device_sector_bytes` as for read_disk_sectors.
TextResult<Bytes> read_root_directory(Handle& handle, std::uint64_t start_lba, const Fat32BootSector& boot,
                                      std::uint32_t device_sector_bytes = kSectorSize);

// The short names of a directory's entries, in entry order: upper-case name,
// then "." and the extension when it has one. Deleted entries, volume labels
// and long-name entries are skipped; the first 0x00 entry ends the list.
std::vector<std::string> list_short_names(std::span<const std::uint8_t> directory);

// A listed name equals the ASCII upper case of `wanted`.
bool contains_short_name(const std::vector<std::string>& names, std::string_view wanted);

// A listed name begins with the upper-cased `prefix` and ends with "." and
// the upper-cased `extension`.
bool contains_short_name_pattern(const std::vector<std::string>& names, std::string_view prefix,
                                 std::string_view extension);

}  // namespace wh
