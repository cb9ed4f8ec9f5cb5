// Sparse writes in detail: the write map's units and its JSON rules, the
// scan of a stream equal to that of the file, the fall-backs to writing
// whole, and write_image, its readback and classify_mismatch keeping to the
// map's extents; a map that does not fit its image never passes.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "flash_fixture.h"
#include "image/usage_capture.h"
#include "image/write_map.h"
#include "raw/sparse_request.h"
#include "xz_samples.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::FlashMachine;
using testing::kMiB;
using testing::SimDir;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

const std::string kImage = SPARSE_CARDS_DIR "/fat-ext4.img";

TEST(WriteMap, UnitsAreSkippedOnlyWhenWhollyFree) {
  ImageUsage usage;
  // Unit 1 free in two touching runs, unit 2 free but one byte, unit 4 (the
  // short last one) free to the image's end.
  usage.free = {{4 * kMiB, 6 * kMiB}, {6 * kMiB, 8 * kMiB}, {8 * kMiB + 1, 12 * kMiB}, {16 * kMiB, 17 * kMiB}};
  const WriteMap map = make_write_map(usage, 17 * kMiB, "d");
  EXPECT_EQ(map.extents, (std::vector<ByteRange>{{0, 4 * kMiB}, {8 * kMiB, 16 * kMiB}}));
  EXPECT_EQ(map.bytes_skipped(), 5 * kMiB);
  const json form = write_map_json(map);
  EXPECT_EQ(form["extents"], json::parse("[[0, 4194304], [8388608, 8388608]]"));
  auto back = read_write_map(form);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->extents, map.extents);

  const struct {
    const char* extents;
    const char* why;
  } invalid[] = {
      {"[[1, 4194304]]", "an extent is off the 4194304-byte grid"},
      {"[[0, 100]]", "an extent is off the 4194304-byte grid"},
      {"[[16777216, 2097152]]", "an extent lies outside the image"},
      {"[[8388608, 4194304], [0, 4194304]]", "the extents overlap or are out of order"},
      {"[[0]]", "an extent is not [offset, length]"},
      {"[[0, 0]]", "an extent lies outside the image"},
  };
  for (const auto& c : invalid) {
    json bad = form;
    bad["extents"] = json::parse(c.extents);
    auto read = read_write_map(bad);
    ASSERT_FALSE(read) << c.extents;
    EXPECT_EQ(read.error().message, std::string("Invalid writeMap: ") + c.why);
  }
}

// The stream's scan, whatever its pieces, finds what the file's scan finds;
// a capture too small for the metadata writes every file system whole.
TEST(WriteMap, AStreamIsScannedAsTheFileIs) {
  const std::string image = slurp(kImage);
  SimDir sim;
  sim.write_machine({{"elevated", true}});
  sim.write_file("image.img", image);
  auto platform = sim.platform();
  auto file = platform.open_file_read(sim.file("image.img"));
  ASSERT_TRUE(file);
  const WriteMap from_file = scan_prepared_image(**file, image.size());
  EXPECT_GT(from_file.bytes_skipped(), 40 * kMiB);
  for (const std::size_t piece : {std::size_t{4097}, std::size_t{256} << 10, std::size_t{4} << 20}) {
    UsageCapture capture;
    for (std::size_t at = 0; at < image.size(); at += piece) {
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.data()) + at;
      capture.add(std::span(bytes, std::min(piece, image.size() - at)));
    }
    const WriteMap streamed = make_write_map(capture.finish(), capture.size(), "");
    EXPECT_EQ(streamed.extents, from_file.extents) << piece;
    EXPECT_EQ(streamed.found, from_file.found) << piece;
  }
  UsageCapture small(64 * 1024);
  small.add(std::span(reinterpret_cast<const std::uint8_t*>(image.data()), image.size()));
  const WriteMap whole = make_write_map(small.finish(), image.size(), "");
  EXPECT_EQ(whole.bytes_skipped(), 0u);
  EXPECT_EQ(whole.found["partitions"][0]["writtenWhole"], "its first FAT could not be read");
}

// A damaged superblock or FAT, or a file system that says its free space
// may be stale, is written whole; the other partition is still skipped.
TEST(WriteMap, DoubtfulFileSystemsAreWrittenWhole) {
  const std::string image = slurp(kImage);
  const std::uint64_t fat_start = 4 * kMiB, ext_start = 44 * kMiB, ext_bytes = 48 * kMiB;
  const struct {
    const char* name;
    std::uint64_t offset;  // a byte flipped by `mask`, or with `debugfs` none
    std::uint8_t mask;
    const char* debugfs;  // a change the ext4 partition gets from debugfs -w
    int partition;
    const char* why_starts;
  } cases[] = {
      {"ext4 superblock checksum", ext_start + 1024 + 0x78, 0x5A, "", 1, "it holds no ext2/3/4 file system libext2fs opens"},
      {"ext4 journal to recover", 0, 0, "feature needs_recovery", 1, "its journal needs recovery"},
      {"ext4 marked with errors", 0, 0, "ssv state 3", 1, "its file system is marked as having errors"},
      {"ext4 not cleanly unmounted", 0, 0, "ssv state 0", 1, "it was not cleanly unmounted"},
      {"FAT boot sector signature", fat_start + 510, 0x5A, "", 0, "it holds no FAT file system"},
      // FAT32's clean-shutdown bit: entry 1's bit 27, after 32 reserved sectors.
      {"FAT not cleanly unmounted", fat_start + (32 * 512) + 7, 0x08, "", 0, "it was not cleanly unmounted"},
  };
  for (const auto& c : cases) {
    std::string damaged = image;
    SimDir sim;
    if (*c.debugfs != 0) {
      sim.write_file("ext4.img", image.substr(ext_start, ext_bytes));
      ASSERT_EQ(std::system(("PATH=$PATH:/usr/sbin:/sbin debugfs -w -R '" + std::string(c.debugfs) + "' " +
                             sim.file("ext4.img") + " >/dev/null 2>&1").c_str()), 0) << c.name;
      damaged.replace(ext_start, ext_bytes, sim.read_file("ext4.img"));
    } else {
      damaged[c.offset] = static_cast<char>(damaged[c.offset] ^ c.mask);
    }
    sim.write_machine({{"elevated", true}});
    sim.write_file("image.img", damaged);
    auto platform = sim.platform();
    auto file = platform.open_file_read(sim.file("image.img"));
    const WriteMap map = scan_prepared_image(**file, damaged.size());
    const std::string why = map.found["partitions"][c.partition]["writtenWhole"];
    EXPECT_TRUE(why.starts_with(c.why_starts)) << c.name << ": " << why;
    EXPECT_EQ(map.found["partitions"][1 - c.partition]["writtenWhole"], "") << c.name;
  }
}

class SparseWrite : public ::testing::Test {
 protected:
  SparseWrite() : image(slurp(kImage)), card(image.size() + 4 * kMiB) {
    card.sim.write_file("image.img", image);
    card.sim.write_file("image.img.gz", testing::gzip_member(image));
    card.sim.write_file("card.img", std::string(card.card_size, '\x77'));
    card.machine["drives"][0]["mountSideEffects"] = false;
  }
  json write(json more) {
    more["imagePath"] = more.value("imagePath", card.sim.file("image.img"));
    more["sparse"] = true;
    lines = card.run("write_image", card.target(std::move(more)));
    return lines.back();
  }
  std::vector<json> drive_events(const char* op) const {
    std::vector<json> found;
    for (const json& event : card.sim.events()) {
      if (event["op"] == op && event["path"] == "\\\\.\\PhysicalDrive2") found.push_back(event);
    }
    return found;
  }
  std::string image;
  FlashMachine card;
  std::vector<json> lines;
};

// On disks of 512- and 4096-byte sectors, an image ending 1536 bytes into
// its last unit: the last write is padded to the disk's sector, and every
// transfer, the seeks past skipped units included, lies on its grid.
TEST_F(SparseWrite, OnlyTheExtentsAreWrittenAndReadBack) {
  image += std::string(1536, '\x5C');
  card.sim.write_file("image.img", image);
  for (const std::uint32_t sector : {512u, 4096u}) {
    SCOPED_TRACE(sector);
    card.machine["drives"][0]["logicalSectorBytes"] = sector;
    card.sim.write_file("card.img", std::string(card.card_size, '\x77'));
    card.sim.write_file("events.log", "");
    const json payload = write(json::object())["payload"];
    ASSERT_EQ(payload["sparse"], true) << payload.dump();
    const WriteMap map = *read_write_map(payload["writeMap"]);
    EXPECT_EQ(payload["bytesWritten"], map.bytes_written());
    EXPECT_EQ(payload["verifiedBytes"], map.bytes_written());
    EXPECT_EQ(payload["writeMap"]["sha256"], payload["sourceSha256"]);
    std::string expected;
    for (const ByteRange& extent : map.extents) expected += image.substr(extent.start, extent.length());
    EXPECT_EQ(payload["writtenSha256"], testing::sha256_hex(expected));
    // Whole units on the grid; the skipped ones keep the card's old bytes,
    // and so does what lies past the padded last sector.
    const std::string card_bytes = card.sim.read_file("card.img");
    const std::uint64_t padded = (image.size() + sector - 1) / sector * sector;
    std::uint64_t written = 0;
    for (const json& event : drive_events("write")) {
      const auto offset = event["offset"].get<std::uint64_t>();
      EXPECT_EQ(offset % kWriteUnit, 0u);
      EXPECT_TRUE(ExtentWalk(map.extents).written(offset)) << offset;
      written += event["bytes"].get<std::uint64_t>();
    }
    EXPECT_EQ(written, map.bytes_written() + padded - image.size());
    EXPECT_EQ(card_bytes.substr(image.size(), padded - image.size()), std::string(padded - image.size(), '\0'));
    EXPECT_EQ(card_bytes.substr(padded), std::string(card.card_size - padded, '\x77'));
    ASSERT_GT(map.extents.size(), 1u);
    const std::uint64_t gap = map.extents[0].end;
    EXPECT_EQ(card_bytes.substr(gap, kWriteUnit), std::string(kWriteUnit, '\x77'));
    // Verifying reads nothing outside the extents.
    for (const json& event : card.sim.events()) {
      if (event.value("path", "") != "\\\\.\\PhysicalDrive2" || !event.contains("offset")) continue;
      EXPECT_EQ(event["offset"].get<std::uint64_t>() % sector, 0u) << event;
      EXPECT_EQ(event.value("bytes", std::uint64_t{0}) % sector, 0u) << event;  // a seek has none
      if (event["op"] != "read" || event.value("mode", "") != "exclusiveRead" || event["offset"] == 0) continue;
      EXPECT_TRUE(ExtentWalk(map.extents).written(event["offset"].get<std::uint64_t>())) << event;
    }

    // A difference in skipped space is none of the write's; one in a written
    // unit outside the FAT metadata is.
    card.sim.write_file("card.img", card_bytes.substr(0, gap) + std::string(kWriteUnit, '\x01') +
                                        card_bytes.substr(gap + kWriteUnit));
    const json classify = {{"imagePath", card.sim.file("image.img")}, {"bytesTotal", image.size()}, {"sparse", true}};
    const json safe = card.response("classify_mismatch", card.target(classify))["payload"];
    EXPECT_EQ(safe["safe"], true) << safe.dump();
    EXPECT_EQ(safe["metadataDiffBytes"], 0);
    const std::uint64_t last = map.extents.back().end - 1;
    std::string changed = card.sim.read_file("card.img");
    changed[last] = static_cast<char>(changed[last] ^ 1);
    card.sim.write_file("card.img", changed);
    const json unsafe = card.response("classify_mismatch", card.target(classify))["payload"];
    EXPECT_EQ(unsafe["firstUnsafeOffset"], last);
  }
}

TEST_F(SparseWrite, AMapThatDoesNotFitItsImageNeverPasses) {
  const json measured = card.response(
      "image_uncompressed_size", {{"imagePath", card.sim.file("image.img.gz")}, {"anyFormat", true}, {"sparse", true}});
  const json map = measured["payload"]["writeMap"];
  ASSERT_EQ(map["sha256"], testing::sha256_hex(image));
  json other_digest = map, other_size = map;
  other_digest["sha256"] = std::string(64, '0');
  other_size["imageBytes"] = image.size() + 512;
  const json streamed = {{"imagePath", card.sim.file("image.img.gz")}, {"decompress", true}};
  const struct {
    const char* name;
    json more;
    const char* code;
    const char* message_starts;
    bool touched;
  } cases[] = {
      {"streamed with its map", {{"writeMap", map}}, "", "", true},
      {"streamed without a map", json::object(), "UNKNOWN", "Missing writeMap payload field", false},
      {"a map of another image", {{"writeMap", other_digest}}, "WRITE_FAILED",
       "The image is not the one its write map was made from", true},
      {"a map of another size", {{"writeMap", other_size}, {"bytesTotal", image.size()}}, "UNKNOWN",
       "Invalid writeMap: it was made for an image of", false},
      {"prepared, cut by bytesTotal", {{"imagePath", card.sim.file("image.img")}, {"bytesTotal", 4 * kMiB}},
       "UNKNOWN", "A sparse write takes the whole image", false},
  };
  for (const auto& c : cases) {
    card.sim.write_file("events.log", "");
    json more = streamed;
    more.update(c.more);
    const json response = write(more);
    EXPECT_EQ(response.value("errorCode", ""), c.code) << c.name << response.dump();
    EXPECT_TRUE(response.value("errorMessage", "").starts_with(c.message_starts)) << c.name << response.dump();
    EXPECT_EQ(!drive_events("write").empty(), c.touched) << c.name;
    if (*c.code == 0) EXPECT_EQ(response["payload"]["observedSha256"], response["payload"]["writtenSha256"]);
  }
}

}  // namespace
}  // namespace wh
