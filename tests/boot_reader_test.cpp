// Reading a card through a handle: whole sectors or the reason why, the root
// directory's cluster chain, and the test card images end to end.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "boot/boot_reader.h"
#include "memory_handle.h"

namespace wh {
namespace {

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Sector n is filled with the byte n.
Bytes numbered_sectors(std::size_t count) {
  Bytes disk(count * kSectorSize);
  for (std::size_t i = 0; i < disk.size(); ++i) disk[i] = static_cast<std::uint8_t>(i / kSectorSize);
  return disk;
}

TEST(BootSectorRead, ReadsWholeSectorsOrTellsWhy) {
  const OsError not_ready{21, "The device is not ready.\r\n"};
  const struct {
    const char* name;
    std::uint64_t lba, count;
    std::size_t chunk;
    int interrupted;
    std::optional<OsError> seek_error, read_error;
    const char* error;  // empty: sectors lba.. come back
    int seeks;          // -1: not checked
    std::uint32_t device = 0;  // a drive's logical sector size; 0: a file
  } cases[] = {
      {"plain", 1, 2, 0, 0, {}, {}, "", 1},
      {"short reads and interrupted calls are repeated", 2, 3, 100, 2, {}, {}, "", 1},
      {"count 0 still seeks", 3, 0, 0, 0, {}, {}, "", 1},
      {"data ends inside the run", 6, 3, 0, 0, {}, {}, "failed to fill whole buffer", 1},
      {"seek error", 0, 1, 0, 0, OsError{87, "The parameter is incorrect.\r\n"}, {},
       "The parameter is incorrect. (os error 87)", 1},
      {"read error", 0, 1, 0, 0, {}, not_ready, "The device is not ready. (os error 21)", 1},
      {"last addressable LBA reaches the device", 0x7FFFFFFFFFFFFF, 1, 0, 0, {}, {},
       "failed to fill whole buffer", 1},
      {"first LBA past a signed offset", 0x80000000000000, 1, 0, 0, {}, {}, "Sector offset overflow", 0},
      {"absurd count", 0, std::uint64_t{1} << 40, 0, 0, {}, {}, "Sector count too large", 0},
      {"cut from the one 4096-byte sector that holds them", 3, 2, 0, 0, {}, {}, "", 1, 4096},
      {"a whole 4096-byte sector", 0, 8, 0, 0, {}, {}, "", 1, 4096},
      {"interrupted calls on a 4096-byte disk", 7, 1, 0, 2, {}, {}, "", 1, 4096},
      {"a 4096-byte disk ends inside the run", 6, 3, 0, 0, {}, {}, "failed to fill whole buffer", 1, 4096},
  };
  for (const auto& c : cases) {
    MemoryHandle disk(numbered_sectors(8));
    disk.chunk = c.chunk;
    disk.interrupted_reads = c.interrupted;
    disk.seek_error = c.seek_error;
    disk.read_error = c.read_error;
    disk.device_sector = c.device;
    auto got = c.device == 0 ? read_disk_sectors(disk, c.lba, c.count)
                             : read_disk_sectors(disk, c.lba, c.count, c.device);
    EXPECT_EQ(disk.seeks, c.seeks) << c.name;
    if (*c.error != '\0') {
      ASSERT_FALSE(got.ok()) << c.name;
      EXPECT_EQ(got.error(), c.error) << c.name;
      if (c.seeks == 0) {
        EXPECT_EQ(disk.reads, 0) << c.name;
      }
      continue;
    }
    ASSERT_TRUE(got.ok()) << c.name << ": " << got.error();
    Bytes expected = numbered_sectors(8);
    expected = Bytes(expected.begin() + static_cast<std::ptrdiff_t>(c.lba * kSectorSize),
                     expected.begin() + static_cast<std::ptrdiff_t>((c.lba + c.count) * kSectorSize));
    EXPECT_EQ(*got, expected) << c.name;
  }
}

// One sector per cluster, 4 reserved sectors, two FATs of 2 sectors.
Fat32BootSector small_fat() {
  Fat32BootSector boot;
  boot.bytes_per_sector = 512;
  boot.sectors_per_cluster = 1;
  boot.reserved_sectors = 4;
  boot.number_of_fats = 2;
  boot.fat_size32 = 2;
  boot.root_cluster = 2;
  boot.has_signature = true;
  return boot;
}

// The partition at LBA 8: the first FAT at LBA 12, cluster n at LBA 14 + n,
// sector n filled with the byte n.
TEST(BootRootDirectory, FollowsTheChainAndReadsEachClusterOnce) {
  constexpr std::uint32_t kEnd = 0x0FFFFFFF;
  const struct {
    const char* name;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;  // cluster -> next
    std::uint16_t bytes_per_sector;
    std::vector<std::uint32_t> clusters;  // read, in order
  } cases[] = {
      {"one cluster", {{2, kEnd}}, 512, {2}},
      {"chain out of order", {{2, 5}, {5, 3}, {3, 0x0FFFFFF8}}, 512, {2, 5, 3}},
      {"upper four bits are not part of the link", {{2, 0xF0000004}, {4, kEnd}}, 512, {2, 4}},
      {"loop back stops at the repeat", {{2, 3}, {3, 4}, {4, 2}}, 512, {2, 3, 4}},
      {"free entry ends the walk", {{2, 3}, {3, 0}}, 512, {2, 3}},
      {"4096-byte sectors still read in 512", {{2, 3}, {3, kEnd}}, 4096, {2, 3}},
  };
  for (const auto& c : cases) {
    Bytes disk = numbered_sectors(40);
    for (const auto& [from, to] : c.links) put32(disk, 12 * kSectorSize + from * 4, to);
    MemoryHandle handle(disk);
    Fat32BootSector boot = small_fat();
    boot.bytes_per_sector = c.bytes_per_sector;
    auto got = read_root_directory(handle, 8, boot);
    ASSERT_TRUE(got.ok()) << c.name << ": " << got.error();
    Bytes expected;
    for (std::uint32_t n : c.clusters) expected.insert(expected.end(), kSectorSize, static_cast<std::uint8_t>(14 + n));
    EXPECT_EQ(*got, expected) << c.name;
  }
}

TEST(BootRootDirectory, StopsAfter256ClustersAndReportsReadFailures) {
  // 300 clusters in a row: the FAT holds 3 sectors of links, the data 300.
  Fat32BootSector boot = small_fat();
  boot.fat_size32 = 3;
  Bytes disk((4 + 6 + 302) * kSectorSize);
  for (std::uint32_t n = 2; n < 302; ++n) put32(disk, 4 * kSectorSize + n * 4, n + 1 < 302 ? n + 1 : 0x0FFFFFFF);
  MemoryHandle handle(disk);
  auto got = read_root_directory(handle, 0, boot);
  ASSERT_TRUE(got.ok()) << got.error();
  EXPECT_EQ(got->size(), 256 * kSectorSize);

  MemoryHandle cut(Bytes(disk.begin(), disk.begin() + 20 * kSectorSize));
  auto short_disk = read_root_directory(cut, 0, boot);
  ASSERT_FALSE(short_disk.ok());
  EXPECT_EQ(short_disk.error(), "failed to fill whole buffer");

  MemoryHandle far(disk);
  auto overflow = read_root_directory(far, 0x7FFFFFFFFFFFFF, boot);
  ASSERT_FALSE(overflow.ok());
  EXPECT_EQ(overflow.error(), "Sector offset overflow");
  EXPECT_EQ(far.seeks, 0);
}

Bytes read_card(const std::string& name) {
  std::ifstream in(std::string(CARD_IMAGES_DIR) + "/" + name, std::ios::binary | std::ios::ate);
  if (!in) return {};
  Bytes bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// The reader end to end, as the boot check runs it, on images that sfdisk,
// mkfs.fat and mtools made, and on their corrupt variants.
TEST(BootCardImages, ListTheRootDirectoryOrTellWhy) {
  const Bytes manifest_bytes = read_card("cards.json");
  ASSERT_FALSE(manifest_bytes.empty()) << CARD_IMAGES_DIR;
  const auto card = nlohmann::json::parse(manifest_bytes)["card"];
  const std::vector<std::string> names = card["rootShortNames"];
  const std::uint64_t root_bytes = card["rootChain"].size() * card["clusterBytes"].get<std::uint64_t>();
  const struct {
    const char* file;
    bool signature;
    const char* error;  // of read_root_directory; empty: the manifest's names
  } cases[] = {
      {"card.img", true, ""},
      {"card-fatloop.img", true, ""},  // each cluster once, then the repeat ends the walk
      {"card-hugecluster.img", true, "failed to fill whole buffer"},  // cluster far past the end
      {"card-short.img", true, "failed to fill whole buffer"},
      {"card-nosig.img", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    MemoryHandle disk(read_card(c.file));
    auto mbr = read_disk_sectors(disk, 0, 1);
    ASSERT_TRUE(mbr.ok()) << mbr.error();
    EXPECT_EQ(has_boot_signature(*mbr), c.signature);
    if (!c.signature) continue;
    const auto boot = find_boot_partition(parse_partition_table(*mbr));
    ASSERT_TRUE(boot.has_value());
    auto sector = read_disk_sectors(disk, boot->start_lba, 1);
    ASSERT_TRUE(sector.ok()) << sector.error();
    const Fat32BootSector fat = parse_fat32_boot_sector(*sector);
    EXPECT_TRUE(passes_inspection_rule(fat));
    EXPECT_EQ(fat.file_system_type, "FAT32");
    auto directory = read_root_directory(disk, boot->start_lba, fat);
    if (*c.error != '\0') {
      ASSERT_FALSE(directory.ok());
      EXPECT_EQ(directory.error(), c.error);
      continue;
    }
    ASSERT_TRUE(directory.ok()) << directory.error();
    EXPECT_EQ(directory->size(), root_bytes);
    EXPECT_EQ(list_short_names(*directory), names);
  }
}

}  // namespace
}  // namespace wh
