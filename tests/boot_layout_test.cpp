// The byte layouts of a card: the MBR's slots, the FAT32 boot sector and its
// two sanity rules, and the short names of a directory.
#include <gtest/gtest.h>

#include <array>

#include "boot/boot_reader.h"

namespace wh {
namespace {

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  put16(b, at, static_cast<std::uint16_t>(v));
  put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

struct Slot {
  std::uint8_t type;
  std::uint32_t start, count;
};

TEST(BootPartitionTable, PicksBootAndRootBySlotAndType) {
  const struct {
    const char* name;
    std::array<Slot, 4> slots;
    std::vector<std::uint32_t> present;
    std::uint32_t boot, root;  // 0: none
  } cases[] = {
      {"a Raspberry Pi OS card", {{{0x0C, 8192, 1048576}, {0x83, 1056768, 7000000}}}, {1, 2}, 1, 2},
      {"type without start or size is empty", {{{0x0C, 0, 100}, {0x0C, 100, 0}, {0x83, 200, 50}}}, {3}, 0, 3},
      {"gaps keep slot numbers", {{{0x0B, 64, 100}, {}, {0x83, 200, 50}, {}}}, {1, 3}, 1, 3},
      {"lower slot wins among FAT types", {{{0x83, 64, 10}, {0x0E, 100, 10}, {0x0C, 200, 10}}}, {1, 2, 3}, 2, 1},
      {"0x07 is neither, 0xEF is FAT", {{{0x07, 64, 10}, {0xEF, 100, 10}}}, {1, 2}, 2, 0},
      {"FAT12 and FAT16 types count", {{{0x05, 64, 10}, {0x01, 100, 10}, {0x04, 200, 10}}}, {1, 2, 3}, 2, 0},
      {"second 0x83 when the first is other", {{{0x83, 64, 10}, {0x83, 100, 10}}}, {1, 2}, 0, 1},
  };
  for (const auto& c : cases) {
    Bytes sector(512);
    for (std::size_t i = 0; i < 4; ++i) {
      sector[446 + 16 * i + 4] = c.slots[i].type;
      put32(sector, 446 + 16 * i + 8, c.slots[i].start);
      put32(sector, 446 + 16 * i + 12, c.slots[i].count);
    }
    const auto entries = parse_partition_table(sector);
    std::vector<std::uint32_t> numbers;
    for (const auto& e : entries) {
      numbers.push_back(e.number);
      const Slot& slot = c.slots[e.number - 1];
      EXPECT_EQ(e.partition_type, slot.type) << c.name;
      EXPECT_EQ(e.start_lba, slot.start) << c.name;
      EXPECT_EQ(e.sector_count, slot.count) << c.name;
    }
    EXPECT_EQ(numbers, c.present) << c.name;
    const auto boot = find_boot_partition(entries);
    const auto root = find_root_partition(entries, boot);
    EXPECT_EQ(boot ? boot->number : 0, c.boot) << c.name;
    EXPECT_EQ(root ? root->number : 0, c.root) << c.name;
  }
}
Bytes boot_sector(std::uint16_t bytes_per_sector) {
  Bytes s(512);
  put16(s, 11, bytes_per_sector);
  s[13] = 1;          // sectors per cluster
  put16(s, 14, 4);    // reserved
  s[16] = 2;          // FATs
  put32(s, 36, 2);    // FAT size
  put32(s, 44, 2);    // root cluster
  put16(s, 48, 1);    // FSInfo
  put16(s, 50, 6);    // backup boot sector
  std::copy_n("FAT32   ", 8, s.begin() + 82);
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

TEST(BootSectorFields, DecodesTheLabelAndJudgesBothRules) {
  const auto boot = parse_fat32_boot_sector(boot_sector(512));
  EXPECT_EQ(boot.file_system_type, "FAT32");
  EXPECT_EQ(boot.fs_info_sector, 1);
  EXPECT_EQ(boot.backup_boot_sector, 6);
  Bytes odd = boot_sector(512);
  std::copy_n("\xA0" "fat32\t ", 8, odd.begin() + 82);
  EXPECT_EQ(parse_fat32_boot_sector(odd).file_system_type, "\xEF\xBF\xBD" "fat32");

  const struct {
    const char* name;
    std::size_t offset;  // field to change; 0: none
    std::uint8_t value;
    std::uint16_t bytes_per_sector;
    bool inspection, metadata;
  } cases[] = {
      {"512", 0, 0, 512, true, true},
      {"4096", 0, 0, 4096, true, true},
      {"1536: a multiple of 512, but no FAT sector size", 0, 0, 1536, true, false},
      {"1000 is no multiple of 512", 0, 0, 1000, true, false},
      {"511", 0, 0, 511, false, false},
      {"4097", 0, 0, 4097, false, false},
      {"no signature", 511, 0, 512, false, false},
      {"no cluster size", 13, 0, 512, false, true},
      {"root cluster 1", 44, 1, 512, false, true},
      {"no reserved sectors", 14, 0, 512, false, false},
      {"no FATs", 16, 0, 512, false, false},
      {"no FAT size", 36, 0, 512, false, false},
      {"a FAT16 FAT size", 22, 8, 512, true, false},
  };
  for (const auto& c : cases) {
    Bytes s = boot_sector(c.bytes_per_sector);
    if (c.offset != 0) s[c.offset] = c.value;
    const auto parsed = parse_fat32_boot_sector(s);
    EXPECT_EQ(passes_inspection_rule(parsed), c.inspection) << c.name;
    EXPECT_EQ(passes_metadata_rule(parsed), c.metadata) << c.name;
  }
}

// Partition at LBA 8, 4 reserved sectors, two FATs of 2 sectors: the FAT at
Bytes directory_of(const std::vector<std::pair<std::string, std::uint8_t>>& entries) {
  Bytes dir;
  for (const auto& [name11, attributes] : entries) {
    Bytes entry(32);
    std::copy(name11.begin(), name11.end(), entry.begin());
    entry[11] = attributes;
    dir.insert(dir.end(), entry.begin(), entry.end());
  }
  return dir;
}

TEST(BootShortNames, ListsUpperCaseNamesAndSkipsTheRest) {
  Bytes dir = directory_of({
      {"RPIBOOT    ", 0x08},                      // volume label
      {"ABOOT      ", 0x0F},                      // long-name entry
      {"config  txt", 0x20},
      {"overlays   ", 0x10},                      // directories are listed
      {"\xE5" "LD     TXT", 0x20},                // deleted
      {"        TXT", 0x20},                      // all-space name
      {"kernel8 img", 0x27},                      // hidden, system, read-only
      {"\xFF" "ad     BIN", 0x20},
      {std::string("\0LATER  TXT", 11), 0x20},    // end of directory
      {"AFTER   TXT", 0x20},
  });
  dir.resize(dir.size() + 31, 'X');  // a partial entry is no entry
  const std::vector<std::string> expected = {"CONFIG.TXT", "OVERLAYS", "KERNEL8.IMG", "\xEF\xBF\xBD" "AD.BIN"};
  EXPECT_EQ(list_short_names(dir), expected);
  EXPECT_TRUE(contains_short_name(expected, "config.txt"));
  EXPECT_FALSE(contains_short_name(expected, "CONFIG"));
}

TEST(BootShortNames, PatternNeedsPrefixAndExtension) {
  const struct {
    const char* name;
    bool matches;
  } cases[] = {
      {"KERNEL8.IMG", true}, {"KERNEL.IMG", true}, {"KERNEL_2.IMG", true},
      {"KERNELIM.G", false}, {"KERNEL", false},    {"KERNEL8.IMGX", false},
      {"XKERNEL.IMG", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(contains_short_name_pattern({c.name}, "kernel", "img"), c.matches) << c.name;
  }
}
}  // namespace
}  // namespace wh
