// Where Windows' mount may change a freshly written card: the FSInfo sector
// and its backup whole, and of each FAT only entry 1, computed without
// wrapping whatever the boot sector claims.
#include <gtest/gtest.h>

#include "raw/fat_metadata.h"

namespace wh {
namespace {

Fat32BootSector boot_sector(std::uint16_t bps, std::uint16_t reserved, std::uint8_t fats, std::uint32_t fat_size,
                            std::uint16_t fs_info, std::uint16_t backup) {
  Fat32BootSector boot;
  boot.bytes_per_sector = bps;
  boot.reserved_sectors = reserved;
  boot.number_of_fats = fats;
  boot.fat_size32 = fat_size;
  boot.fs_info_sector = fs_info;
  boot.backup_boot_sector = backup;
  return boot;
}

TEST(FatMetadataRanges, FsInfoSectorsWholeAndFatEntryOneOnly) {
  constexpr std::uint64_t kStart = 8192 * 512;
  constexpr std::uint64_t kHuge = 1ull << 62;
  const struct {
    const char* name;
    Fat32BootSector boot;
    std::uint64_t part_end;
    std::vector<ByteRange> ranges;
  } cases[] = {
      {"a normal card", boot_sector(512, 32, 2, 1000, 1, 6), kHuge,
       {{kStart + 512, kStart + 1024},
        {kStart + 7 * 512, kStart + 8 * 512},
        {kStart + 32 * 512 + 4, kStart + 32 * 512 + 8},
        {kStart + 1032 * 512 + 4, kStart + 1032 * 512 + 8}}},
      {"4096-byte sectors", boot_sector(4096, 8, 1, 10, 1, 0), kHuge,
       {{kStart + 4096, kStart + 8192}, {kStart + 8 * 4096 + 4, kStart + 8 * 4096 + 8}}},
      {"no FSInfo, backup beyond the reserved sectors", boot_sector(512, 6, 1, 10, 0, 6), kHuge,
       {{kStart + 6 * 512 + 4, kStart + 6 * 512 + 8}}},
      {"backup FSInfo at the reserved sectors' end", boot_sector(512, 7, 1, 10, 1, 6), kHuge,
       {{kStart + 512, kStart + 1024}, {kStart + 7 * 512 + 4, kStart + 7 * 512 + 8}}},
      {"cut by the end", boot_sector(512, 32, 2, 1000, 1, 6), kStart + 32 * 512 + 6,
       {{kStart + 512, kStart + 1024}, {kStart + 7 * 512, kStart + 8 * 512}, {kStart + 32 * 512 + 4, kStart + 32 * 512 + 6}}},
      // 32-bit arithmetic would wrap the second FAT onto the first sectors.
      {"a FAT of 2^32 - 1 sectors", boot_sector(512, 32, 2, 0xFFFFFFFF, 0, 0), kHuge,
       {{kStart + 32 * 512 + 4, kStart + 32 * 512 + 8},
        {kStart + (32 + 0xFFFFFFFFull) * 512 + 4, kStart + (32 + 0xFFFFFFFFull) * 512 + 8}}},
  };
  for (const auto& c : cases) EXPECT_EQ(fat_metadata_ranges(c.boot, kStart, c.part_end), c.ranges) << c.name;
}

}  // namespace
}  // namespace wh
