#include "boot/fat_volume.h"

namespace wh {

namespace {

constexpr std::uint32_t kMaxFat12Clusters = 4084;
constexpr std::uint32_t kMaxFat16Clusters = 65524;

bool power_of_two(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

std::optional<FatVolume> fat_volume(const Fat32BootSector& boot) {
  const std::uint32_t bps = boot.bytes_per_sector;
  if (!boot.has_signature || bps < 512 || bps > 4096 || !power_of_two(bps) ||
      !power_of_two(boot.sectors_per_cluster) || boot.reserved_sectors == 0 || boot.number_of_fats == 0) {
    return std::nullopt;
  }
  const std::uint64_t fat_sectors = boot.fat_size16 != 0 ? boot.fat_size16 : boot.fat_size32;
  const std::uint64_t total_sectors = boot.total_sectors16 != 0 ? boot.total_sectors16 : boot.total_sectors32;
  const std::uint64_t root_sectors = (std::uint64_t{boot.root_entry_count} * 32 + bps - 1) / bps;
  const std::uint64_t meta_sectors = boot.reserved_sectors + boot.number_of_fats * fat_sectors + root_sectors;
  if (fat_sectors == 0 || total_sectors <= meta_sectors) return std::nullopt;

  FatVolume volume;
  const std::uint64_t clusters = (total_sectors - meta_sectors) / boot.sectors_per_cluster;
  volume.type = clusters <= kMaxFat12Clusters   ? FatType::kFat12
                : clusters <= kMaxFat16Clusters ? FatType::kFat16
                                                : FatType::kFat32;
  // FAT32 keeps its root in clusters and its FAT size in the 32-bit field;
  // FAT12 and FAT16 the other way round. A mix is no FAT this code knows.
  const bool fat32_fields = boot.root_entry_count == 0 && boot.fat_size16 == 0;
  if ((volume.type == FatType::kFat32) != fat32_fields || clusters > 0x0FFFFFF5) return std::nullopt;
  volume.cluster_count = static_cast<std::uint32_t>(clusters);
  volume.fat_offset = std::uint64_t{boot.reserved_sectors} * bps;
  volume.fat_bytes = fat_sectors * bps;
  volume.data_offset = meta_sectors * bps;
  volume.cluster_bytes = std::uint64_t{boot.sectors_per_cluster} * bps;
  volume.volume_bytes = total_sectors * bps;
  if (fat_entry_bytes(volume) > volume.fat_bytes) return std::nullopt;
  return volume;
}

std::uint64_t fat_entry_bytes(const FatVolume& volume) {
  const std::uint64_t entries = std::uint64_t{volume.cluster_count} + 2;
  switch (volume.type) {
    case FatType::kFat12: return (entries * 3 + 1) / 2;
    case FatType::kFat16: return entries * 2;
    case FatType::kFat32: return entries * 4;
  }
  return entries * 4;
}

std::uint32_t fat_entry(const FatVolume& volume, std::span<const std::uint8_t> fat, std::uint32_t cluster) {
  switch (volume.type) {
    case FatType::kFat12: {
      // Two entries share three bytes: the even one the low 12 bits.
      const std::size_t at = std::size_t{cluster} + cluster / 2;
      const std::uint32_t pair = fat[at] | (static_cast<std::uint32_t>(fat[at + 1]) << 8);
      return (cluster % 2 == 0) ? (pair & 0x0FFF) : (pair >> 4);
    }
    case FatType::kFat16: {
      const std::size_t at = std::size_t{cluster} * 2;
      return fat[at] | (static_cast<std::uint32_t>(fat[at + 1]) << 8);
    }
    case FatType::kFat32: {
      const std::size_t at = std::size_t{cluster} * 4;
      const std::uint32_t value = fat[at] | (static_cast<std::uint32_t>(fat[at + 1]) << 8) |
                                  (static_cast<std::uint32_t>(fat[at + 2]) << 16) |
                                  (static_cast<std::uint32_t>(fat[at + 3]) << 24);
      return value & 0x0FFFFFFF;
    }
  }
  return 1;
}

}  // namespace wh
