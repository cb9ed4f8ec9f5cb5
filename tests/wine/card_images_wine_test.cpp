// The card reader and the mount classifier's ranges as Windows code, on the
// very card images the Linux tests use, read through Win32 file handles.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "boot/boot_reader.h"
#include "raw/fat_metadata.h"
#include "wine_support.h"

namespace wh::wine {
namespace {

using nlohmann::json;

std::string card(const std::string& name) { return windows_path(CARD_IMAGES_DIR) + "\\" + name; }

TEST(CardImages, ReaderAndRangesAgreeWithTheManifest) {
  const json manifest = json::parse(read_file(card("cards.json")))["card"];
  auto image = platform().open_file_read(card("card.img"));
  ASSERT_TRUE(image.ok());
  auto sector0 = read_disk_sectors(**image, 0, 1);
  ASSERT_TRUE(sector0.ok()) << sector0.error();
  const auto boot = find_boot_partition(parse_partition_table(*sector0));
  ASSERT_TRUE(boot.has_value());
  auto boot_sector = read_disk_sectors(**image, boot->start_lba, 1);
  ASSERT_TRUE(boot_sector.ok());
  const Fat32BootSector fat = parse_fat32_boot_sector(*boot_sector);
  EXPECT_TRUE(passes_inspection_rule(fat));
  auto root = read_root_directory(**image, boot->start_lba, fat);
  ASSERT_TRUE(root.ok()) << root.error();
  EXPECT_EQ(json(list_short_names(*root)), manifest["rootShortNames"]);

  auto ranges = known_fat_metadata_ranges(**image, manifest["offsets"]["data"].get<std::uint64_t>());
  ASSERT_TRUE(ranges.ok()) << ranges.error();
  const std::uint64_t fs_info = manifest["offsets"]["fsInfo"];
  const std::uint64_t fat1 = manifest["offsets"]["fats"][0], fat2 = manifest["offsets"]["fats"][1];
  EXPECT_EQ(*ranges, (std::vector<ByteRange>{{fs_info, fs_info + 512},
                                             {fs_info + 6 * 512, fs_info + 7 * 512},
                                             {fat1 + 4, fat1 + 8},
                                             {fat2 + 4, fat2 + 8}}));

  // A truncated card fails the way a drive that ends early does.
  auto short_image = platform().open_file_read(card("card-short.img"));
  ASSERT_TRUE(short_image.ok());
  EXPECT_EQ(read_root_directory(**short_image, boot->start_lba, fat).error(), "failed to fill whole buffer");
}

}  // namespace
}  // namespace wh::wine
