// The geometry of a FAT12, FAT16 or FAT32 volume, as Microsoft's FAT
// file system document derives it from the boot sector, and the entries of its FAT.
// Unlike the card reader's positions, these are counted in the volume's own
// sectors (bytesPerSector), so a volume of 4096-byte sectors is placed right.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "boot/boot_reader.h"

namespace wh {

enum class FatType { kFat12, kFat16, kFat32 };

struct FatVolume {
  FatType type = FatType::kFat32;
  std::uint64_t fat_offset = 0;     // the first FAT, in bytes from the volume's start
  std::uint64_t fat_bytes = 0;      // one FAT's size
  std::uint64_t data_offset = 0;    // cluster 2
  std::uint64_t cluster_bytes = 0;
  std::uint32_t cluster_count = 0;  // data clusters, numbered 2 to cluster_count + 1
  std::uint64_t volume_bytes = 0;   // the total sectors' bytes
};

// The volume `boot` describes, or nullopt when its fields are not those of a
// FAT file system: no signature; a sector size other than 512, 1024, 2048 or
// 4096; a cluster size that is not a power of two; no reserved sector or no
// FAT; a FAT too small for the clusters; FAT32 fields on a FAT12/16 volume
// or the reverse; or a data area that ends before it begins.
std::optional<FatVolume> fat_volume(const Fat32BootSector& boot);

// Bytes of the first FAT that hold the entries of every cluster: what must
// be read to know which clusters are free.
std::uint64_t fat_entry_bytes(const FatVolume& volume);

// The entry of `cluster` in `fat` (the first FAT's bytes, at least
// fat_entry_bytes long): 12, 16 or the low 28 bits of 32. 0 means free.
std::uint32_t fat_entry(const FatVolume& volume, std::span<const std::uint8_t> fat, std::uint32_t cluster);

}  // namespace wh
