#include "boot/boot_reader.h"

#include <array>
#include <limits>
#include <unordered_set>

#include "platform/unicode.h"
#include "platform/aligned_buffer.h"

namespace wh {
namespace {

// The largest LBA whose byte offset still fits a signed 64-bit file position.
constexpr std::uint64_t kLastAddressableLba = 0x7FFFFFFFFFFFFFull;
// No caller asks for more than a few MiB; a larger count is a fault, and its
// buffer must not be allocated.
constexpr std::uint64_t kMaxSectorsPerRead = std::uint64_t{1} << 21;  // 1 GiB

constexpr std::size_t kPartitionTableOffset = 446;
constexpr std::size_t kPartitionEntrySize = 16;
constexpr std::uint32_t kClusterMask = 0x0FFFFFFF;
constexpr std::uint32_t kEndOfChain = 0x0FFFFFF8;
constexpr std::uint64_t kFatEntriesPerSector = kSectorSize / 4;
constexpr int kMaxRootClusters = 256;

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// Saturating: a position past every real disk stays past it, and then fails
// the reader's own bound instead of wrapping onto sector 0.
std::uint64_t add_sat(std::uint64_t a, std::uint64_t b) { return a > kMax64 - b ? kMax64 : a + b; }
std::uint64_t mul_sat(std::uint64_t a, std::uint64_t b) {
  return (a != 0 && b > kMax64 / a) ? kMax64 : a * b;
}

std::uint16_t le16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}
std::uint32_t le32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
         (static_cast<std::uint32_t>(bytes[at + 2]) << 16) |
         (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

std::string text_field(std::span<const std::uint8_t> field) {
  const std::string raw(field.begin(), field.end());
  return std::string(trim_unicode_whitespace(utf8_lossy(raw)));
}

bool bytes_per_sector_in_range(std::uint16_t bytes) { return bytes >= 512 && bytes <= 4096; }

}  // namespace

bool is_fat_boot_type(std::uint8_t partition_type) {
  constexpr std::array<std::uint8_t, 7> kFatTypes = {0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E, 0xEF};
  for (std::uint8_t type : kFatTypes) {
    if (type == partition_type) return true;
  }
  return false;
}

bool has_boot_signature(std::span<const std::uint8_t> sector) {
  return sector.size() >= 512 && sector[510] == 0x55 && sector[511] == 0xAA;
}

TextResult<Bytes> read_disk_sectors(Handle& handle, std::uint64_t lba, std::uint64_t count,
                                    std::uint32_t device_sector_bytes) {
  if (lba > kLastAddressableLba) return Err(std::string("Sector offset overflow"));
  if (count > kMaxSectorsPerRead) return Err(std::string("Sector count too large"));
  // The device's own sectors that hold the run: the driver takes nothing
  // else. The last addressable LBA leaves room to round its end up.
  const std::uint64_t start = lba * kSectorSize;
  const std::uint64_t device = count == 0 ? kSectorSize : device_sector_bytes;
  const std::uint64_t from = start / device * device;
  const std::uint64_t to = (start + count * kSectorSize + device - 1) / device * device;
  // Read into aligned memory, as the raw handle needs, then handed back.
  AlignedBuffer buffer(static_cast<std::size_t>(to - from));
  if (auto sought = handle.seek(from); !sought) return Err(sought.error().text());
  const std::size_t wanted_end = static_cast<std::size_t>(start - from + count * kSectorSize);
  std::size_t filled = 0;
  while (filled < wanted_end) {
    auto got = handle.read(buffer.span().subspan(filled));
    if (!got) {
      if (got.error().interrupted) continue;
      return Err(got.error().text());
    }
    if (*got == 0) return Err(std::string("failed to fill whole buffer"));
    filled += *got;
  }
  return Bytes(buffer.data() + (start - from), buffer.data() + wanted_end);
}

std::vector<MbrPartitionEntry> parse_partition_table(std::span<const std::uint8_t> sector0) {
  std::vector<MbrPartitionEntry> entries;
  for (std::size_t slot = 0; slot < 4; ++slot) {
    const std::size_t at = kPartitionTableOffset + kPartitionEntrySize * slot;
    MbrPartitionEntry entry;
    entry.number = static_cast<std::uint32_t>(slot + 1);
    entry.partition_type = sector0[at + 4];
    entry.start_lba = le32(sector0, at + 8);
    entry.sector_count = le32(sector0, at + 12);
    if (entry.partition_type != 0 && entry.start_lba != 0 && entry.sector_count != 0) {
      entries.push_back(entry);
    }
  }
  return entries;
}

std::optional<MbrPartitionEntry> find_boot_partition(const std::vector<MbrPartitionEntry>& entries) {
  for (const auto& entry : entries) {
    if (is_fat_boot_type(entry.partition_type)) return entry;
  }
  return std::nullopt;
}

std::optional<MbrPartitionEntry> find_root_partition(const std::vector<MbrPartitionEntry>& entries,
                                                     const std::optional<MbrPartitionEntry>& boot) {
  for (const auto& entry : entries) {
    if (entry.partition_type != kLinuxPartitionType) continue;
    if (boot && entry.number == boot->number) continue;
    return entry;
  }
  return std::nullopt;
}

Fat32BootSector parse_fat32_boot_sector(std::span<const std::uint8_t> sector) {
  Fat32BootSector boot;
  boot.bytes_per_sector = le16(sector, 11);
  boot.sectors_per_cluster = sector[13];
  boot.reserved_sectors = le16(sector, 14);
  boot.number_of_fats = sector[16];
  boot.fat_size32 = le32(sector, 36);
  boot.fat_size16 = le16(sector, 22);
  boot.root_cluster = le32(sector, 44);
  boot.fs_info_sector = le16(sector, 48);
  boot.backup_boot_sector = le16(sector, 50);
  boot.file_system_type = text_field(sector.subspan(82, 8));
  boot.has_signature = has_boot_signature(sector);
  return boot;
}

bool passes_inspection_rule(const Fat32BootSector& boot) {
  return boot.has_signature && bytes_per_sector_in_range(boot.bytes_per_sector) &&
         boot.sectors_per_cluster != 0 && boot.reserved_sectors != 0 && boot.number_of_fats != 0 &&
         boot.fat_size32 != 0 && boot.root_cluster >= 2;
}

// Sector sizes as FAT defines them, 512, 1024, 2048 or 4096: the ranges
// built from any other size would not be where a mount writes.
bool passes_metadata_rule(const Fat32BootSector& boot) {
  const std::uint16_t bps = boot.bytes_per_sector;
  return boot.has_signature && bytes_per_sector_in_range(bps) && (bps & (bps - 1)) == 0 && boot.fat_size16 == 0 &&
         boot.fat_size32 != 0 && boot.number_of_fats != 0 &&
         boot.reserved_sectors != 0;
}

TextResult<Bytes> read_root_directory(Handle& handle, std::uint64_t start_lba, const Fat32BootSector& boot,
                                      std::uint32_t device_sector_bytes) {
  const std::uint64_t fat_start = add_sat(start_lba, boot.reserved_sectors);
  const std::uint64_t data_start = add_sat(fat_start, mul_sat(boot.number_of_fats, boot.fat_size32));
  Bytes directory;
  std::unordered_set<std::uint32_t> visited;
  std::uint32_t cluster = boot.root_cluster;
  for (int read = 0; read < kMaxRootClusters && cluster >= 2; ++read) {
    // A chain that loops back ends at the repeat: each cluster is read once.
    if (!visited.insert(cluster).second) break;
    const std::uint64_t first = add_sat(data_start, mul_sat(cluster - 2, boot.sectors_per_cluster));
    auto data = read_disk_sectors(handle, first, boot.sectors_per_cluster, device_sector_bytes);
    if (!data) return Err(std::move(data).error());
    directory.insert(directory.end(), data->begin(), data->end());

    auto fat = read_disk_sectors(handle, add_sat(fat_start, cluster / kFatEntriesPerSector), 1, device_sector_bytes);
    if (!fat) return Err(std::move(fat).error());
    const std::size_t at = (cluster % kFatEntriesPerSector) * 4;
    if (fat->size() < at + 4) return Err(std::string("FAT table entry was shorter than expected."));
    cluster = le32(*fat, at) & kClusterMask;
    if (cluster >= kEndOfChain) break;
  }
  return directory;
}

}  // namespace wh
