#include <gtest/gtest.h>

#include "platform/win32/ioctl_replies.h"

namespace wh {
namespace {

std::vector<std::uint8_t> extents_reply(std::uint32_t announced, std::vector<std::uint32_t> disks) {
  std::vector<std::uint8_t> reply(8 + 24 * disks.size(), 0);
  for (int i = 0; i < 4; ++i) reply[i] = static_cast<std::uint8_t>(announced >> (8 * i));
  for (std::size_t k = 0; k < disks.size(); ++k) {
    for (int i = 0; i < 4; ++i) reply[8 + 24 * k + i] = static_cast<std::uint8_t>(disks[k] >> (8 * i));
    reply[8 + 24 * k + 8] = 0xAA;  // StartingOffset: must not be taken for a disk number
  }
  return reply;
}

TEST(ParseDiskExtents, ReadsTheDiskNumberOfEveryExtent) {
  EXPECT_EQ(parse_disk_extents(extents_reply(2, {3, 0x01020304})), (std::vector<std::uint32_t>{3, 0x01020304}));
  EXPECT_EQ(parse_disk_extents(extents_reply(0, {})), std::vector<std::uint32_t>{});
}

TEST(ParseDiskExtents, RejectsRepliesThatDoNotHoldWhatTheyAnnounce) {
  EXPECT_EQ(parse_disk_extents(extents_reply(3, {1, 1})), std::nullopt);
  EXPECT_EQ(parse_disk_extents(std::vector<std::uint8_t>{1, 0, 0}), std::nullopt);
  auto cut = extents_reply(1, {1});
  cut.pop_back();
  EXPECT_EQ(parse_disk_extents(cut), std::nullopt);
}

TEST(ParseFixedReplies, NeedTheirWholeLayout) {
  const std::vector<std::uint8_t> length = {0x00, 0x00, 0x00, 0x40, 0x07, 0, 0, 0};
  EXPECT_EQ(parse_length_info(length), 0x0740000000u);
  EXPECT_EQ(parse_length_info(std::span(length).first(7)), std::nullopt);
  const std::vector<std::uint8_t> negative = {0, 0, 0, 0, 0, 0, 0, 0x80};
  EXPECT_EQ(parse_length_info(negative), std::nullopt);

  std::vector<std::uint8_t> attributes(24, 0);
  attributes[8] = 0x2;
  EXPECT_EQ(parse_disk_attributes(attributes), 0x2u);
  EXPECT_EQ(parse_disk_attributes(std::span(attributes).first(15)), std::nullopt);

  // DISK_GEOMETRY_EX: BytesPerSector at 20, a power of two from 512 on.
  for (const auto& [bytes, read] : std::vector<std::pair<std::uint32_t, std::optional<std::uint32_t>>>{
           {512, 512}, {4096, 4096}, {0, std::nullopt}, {520, std::nullopt}, {256, std::nullopt}}) {
    std::vector<std::uint8_t> geometry(32, 0);
    for (int i = 0; i < 4; ++i) geometry[20 + i] = static_cast<std::uint8_t>(bytes >> (8 * i));
    geometry[16] = 0x3F;  // SectorsPerTrack: must not be taken for the sector size
    EXPECT_EQ(parse_drive_geometry(geometry), read) << bytes;
    EXPECT_EQ(parse_drive_geometry(std::span(geometry).first(23)), std::nullopt) << bytes;
  }
}

}  // namespace
}  // namespace wh
