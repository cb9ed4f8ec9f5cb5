// write_image on the simulated Windows: what lands on the card, the events in
// their order, the readback and its recheck, and every way a flash can fail.
#include <algorithm>

#include <gtest/gtest.h>

#include "flash_fixture.h"
#include "xz_samples.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::FlashMachine;
using testing::kMiB;
using testing::pattern_bytes;
using testing::sha256_hex;

const std::string kEmptySha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char* kVerify = "VERIFY Verifying written bytes from a fresh Windows disk handle";
const char* kRecheck = "VERIFY Rechecking written bytes from a fresh Windows disk handle";

class WriteImage : public ::testing::Test {
 protected:
  json flash(json more = json::object()) {
    more["imagePath"] = card.sim.file("image.img");
    more["taskId"] = "t7";
    lines = card.run("write_image", card.target(std::move(more)));
    return lines.back();
  }
  std::vector<json> drive_writes() const {
    std::vector<json> writes;
    for (const json& event : card.sim.events()) {
      if (event["op"] == "write" && event["path"] == "\\\\.\\PhysicalDrive2") writes.push_back(event);
    }
    return writes;
  }
  FlashMachine card;
  std::vector<json> lines;
};

TEST_F(WriteImage, CopiesTheImageAndProvesItThroughAFreshHandle) {
  const std::string image = pattern_bytes(9 * kMiB + 1536);
  card.sim.write_file("image.img", image);
  const json response = flash();
  ASSERT_EQ(response["ok"], true) << response.dump();
  const json& payload = response["payload"];
  EXPECT_EQ(payload["bytesWritten"], image.size());
  EXPECT_EQ(payload["sourceSha256"], sha256_hex(image));
  EXPECT_EQ(payload["observedSha256"], sha256_hex(image));
  EXPECT_EQ(payload["verifiedBytes"], image.size());
  EXPECT_EQ(payload["verifyAttempts"], 1);
  EXPECT_TRUE(payload["firstObservedSha256"].is_null());
  EXPECT_TRUE(payload["mismatch"].is_null());
  EXPECT_EQ(payload["verifiedBeforeFinalize"], true);
  // Less than a second: the flush speed's floor of one second.
  EXPECT_EQ(payload["speedBps"], image.size());
  EXPECT_FALSE(payload.contains("skippedReadback"));
  EXPECT_EQ(card.sim.read_file("card.img").substr(0, image.size()), image);

  EXPECT_EQ(testing::stages(lines), (std::vector<std::string>{
                                        "WRITE Writing image to \\\\.\\PhysicalDrive2",
                                        "FINALIZE Flushing disk buffers", "FINALIZE Disk buffers flushed", kVerify,
                                        kVerify}));
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["taskId"], "t7");
    EXPECT_EQ(lines[i]["sessionId"], "s1");
  }
  EXPECT_EQ(lines[2]["bytesProcessed"], image.size());
  EXPECT_EQ(lines[3]["bytesProcessed"], 0);
  EXPECT_EQ(lines[4]["bytesTotal"], image.size());

  // Whole 4 MiB writes at 4 MiB offsets, then the image's tail as it is.
  const auto writes = drive_writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0]["offset"], 0);
  EXPECT_EQ(writes[1]["offset"], 4 * kMiB);
  EXPECT_EQ(writes[1]["bytes"], 4 * kMiB);
  EXPECT_EQ(writes[2]["bytes"], kMiB + 1536);

  // Windows is told of the new partition table through the write handle,
  // after the flush and before the close.
  std::vector<std::string> ends;
  for (const json& event : card.sim.events()) {
    if (event["path"] == "\\\\.\\PhysicalDrive2" && event["op"] != "write") ends.push_back(event["op"]);
  }
  const auto flush = std::find(ends.begin(), ends.end(), "flush");
  ASSERT_GE(std::distance(flush, ends.end()), 3);
  EXPECT_EQ(std::vector<std::string>(flush, flush + 3), (std::vector<std::string>{"flush", "updateProperties", "close"}));
}

TEST_F(WriteImage, BytesTotalAndSkippedReadback) {
  const std::string image = pattern_bytes(5 * kMiB);
  card.sim.write_file("image.img", image);
  const struct {
    json more;
    std::uint64_t written;
    std::uint64_t verified;
    int attempts;
  } cases[] = {
      {{{"bytesTotal", 0}}, 0, 0, 1},
      {{{"bytesTotal", 3 * kMiB}}, 3 * kMiB, 3 * kMiB, 1},
      {{{"bytesTotal", 4096.9}}, 4096, 4096, 1},
      // Past the image's end the card is verified all the same, and differs.
      {{{"bytesTotal", 6 * kMiB}}, 5 * kMiB, 6 * kMiB, 2},
  };
  for (const auto& c : cases) {
    card.sim.write_file("card.img", std::string(card.card_size, '\0'));
    const json response = flash(c.more);
    ASSERT_EQ(response["ok"], true) << response.dump();
    const json& payload = response["payload"];
    EXPECT_EQ(payload["bytesWritten"], c.written) << c.more;
    EXPECT_EQ(payload["sourceSha256"], sha256_hex(image.substr(0, c.written))) << c.more;
    EXPECT_EQ(payload["verifiedBytes"], c.verified) << c.more;
    EXPECT_EQ(payload["verifyAttempts"], c.attempts) << c.more;
    EXPECT_EQ(lines[0]["bytesTotal"], c.verified) << c.more;
  }
  // The image ended before bytesTotal: the difference is where it ended.
  EXPECT_EQ(lines.back()["payload"]["mismatch"],
            (json{{"offset", 5 * kMiB}, {"expectedSampleHex", ""}, {"observedSampleHex", ""}}));

  const json skipped = flash({{"skipReadback", true}})["payload"];
  EXPECT_EQ(skipped, (json{{"bytesWritten", image.size()},
                           {"speedBps", image.size()},
                           {"sourceSha256", sha256_hex(image)},
                           {"verifiedBeforeFinalize", true},
                           {"skippedReadback", true}}));
  for (const std::string& stage : testing::stages(lines)) EXPECT_FALSE(stage.starts_with("VERIFY")) << stage;
}

// A streamed write: the image decoded on the way to the card, with no file
// written anywhere, the digest and the readback those of the decoded bytes.
TEST_F(WriteImage, DecompressWritesTheDecodedImageWithNoPreparedFile) {
  const std::string image = testing::disk_image(testing::varied_bytes(9 * kMiB + 1536));
  const std::string half = image.substr(0, 5 * kMiB), rest = image.substr(5 * kMiB);
  const struct {
    const char* name;
    std::string file;
  } cases[] = {
      {"raw", image},
      {"xz of several blocks", testing::xz_multi_block(image, 3 * kMiB)},
      {"gzip of two members", testing::gzip_member(half) + testing::gzip_member(rest)},
      {"bzip2", testing::bzip2_stream(image)},
      {"zstd of two frames", testing::zstd_frame(half) + testing::zstd_frame(rest)},
      {"zip", testing::zip_archive({{"raspios/", ""}, {"raspios/pi.img", image}})},
  };
  for (const auto& c : cases) {
    card.sim.write_file("image.img", c.file);
    card.sim.write_file("card.img", std::string(card.card_size, '\0'));
    card.sim.write_file("events.log", "");
    const json response = flash({{"decompress", true}});
    ASSERT_EQ(response["ok"], true) << c.name << response.dump();
    const json& payload = response["payload"];
    EXPECT_EQ(payload["bytesWritten"], image.size()) << c.name;
    EXPECT_EQ(payload["sourceSha256"], sha256_hex(image)) << c.name;
    EXPECT_EQ(payload["observedSha256"], sha256_hex(image)) << c.name;
    EXPECT_EQ(card.sim.read_file("card.img").substr(0, image.size()), image) << c.name;
    for (const json& event : card.sim.events()) EXPECT_NE(event.value("mode", ""), "fileWrite") << c.name << event;
    // Whole chunks on the grid, whatever the decoder hands out.
    for (const json& write : drive_writes()) EXPECT_EQ(write["offset"].get<std::uint64_t>() % (4 * kMiB), 0u);
  }
  // bytesTotal cuts the decoded image, as it cuts a prepared one.
  card.sim.write_file("image.img", testing::gzip_member(image));
  const json cut = flash({{"decompress", true}, {"bytesTotal", 3 * kMiB}})["payload"];
  EXPECT_EQ(cut["bytesWritten"], 3 * kMiB);
  EXPECT_EQ(cut["observedSha256"], sha256_hex(image.substr(0, 3 * kMiB)));
}

// The disk's own logical sector size rules every transfer: the last write
// is padded with zeros to a whole sector of it, every write and read lies
// on its grid, and an image whose padded end passes the disk's is refused
// before anything is written.
TEST_F(WriteImage, TransfersAreWholeSectorsOfTheDisksOwnSize) {
  const std::uint64_t disk = card.card_size;
  const struct {
    std::uint32_t sector;
    std::uint64_t image_bytes;
    std::uint64_t disk_bytes;
    std::uint64_t last_write;  // 0: refused
  } cases[] = {
      {512, 9 * kMiB + 1536, disk, kMiB + 1536},
      {4096, 9 * kMiB + 1536, disk, kMiB + 4096},
      {4096, 4096 + 1, disk, 8192},
      {4096, 8 * kMiB, disk, 4 * kMiB},
      // Fits in 512-byte sectors, not in 4096-byte ones.
      {4096, disk - 1024, disk - 512, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.sector) + " " + std::to_string(c.image_bytes));
    const std::string image = pattern_bytes(c.image_bytes);
    card.sim.write_file("image.img", image);
    card.sim.write_file("card.img", std::string(disk, '\xEE'));
    card.sim.write_file("events.log", "");
    card.machine["drives"][0]["logicalSectorBytes"] = c.sector;
    card.machine["drives"][0]["sizeBytes"] = c.disk_bytes;
    card.card_size = c.disk_bytes;
    const json response = flash();
    const std::uint64_t padded = (c.image_bytes + c.sector - 1) / c.sector * c.sector;
    const std::string written = card.sim.read_file("card.img");
    if (c.last_write == 0) {
      EXPECT_EQ(response["errorMessage"], "The image does not fit the target disk: writing it takes " +
                                              std::to_string(padded) + " bytes and the disk holds " +
                                              std::to_string(c.disk_bytes) + " bytes; nothing was written.");
      EXPECT_TRUE(drive_writes().empty());
      EXPECT_EQ(written, std::string(disk, '\xEE'));
      continue;
    }
    ASSERT_EQ(response["ok"], true) << response.dump();
    EXPECT_EQ(response["payload"]["bytesWritten"], c.image_bytes);
    EXPECT_EQ(response["payload"]["observedSha256"], sha256_hex(image));
    EXPECT_EQ(response["payload"]["verifyAttempts"], 1);
    EXPECT_EQ(drive_writes().back()["bytes"], c.last_write);
    EXPECT_EQ(written.substr(0, c.image_bytes), image);
    EXPECT_EQ(written.substr(c.image_bytes, padded - c.image_bytes), std::string(padded - c.image_bytes, '\0'));
    EXPECT_EQ(written.substr(padded), std::string(disk - padded, '\xEE'));
    for (const json& event : card.sim.events()) {
      if (event["path"] != "\\\\.\\PhysicalDrive2" || !event.contains("offset")) continue;
      EXPECT_EQ(event["offset"].get<std::uint64_t>() % c.sector, 0u) << event;
      EXPECT_EQ(event["bytes"].get<std::uint64_t>() % c.sector, 0u) << event;
      EXPECT_FALSE(event.contains("error")) << event;
    }
  }
}

// An empty image would leave the old system on the card, and its readback
// would match the empty digest: it is refused before the card is touched.
TEST_F(WriteImage, EmptyImageIsRefusedNotVerifiedAsTheEmptyDigest) {
  card.sim.write_file("image.img", "");
  const json response = flash();
  EXPECT_EQ(response["errorCode"], "XZ_INVALID");
  EXPECT_EQ(response["errorMessage"], "The image is empty: it holds no bytes; nothing was written.");
  EXPECT_EQ(response.dump().find(kEmptySha256), std::string::npos);
  for (const json& event : card.sim.events()) EXPECT_NE(event.value("path", ""), "\\\\.\\PhysicalDrive2") << event;
}

}  // namespace
}  // namespace wh

namespace wh {
namespace {

// Every failure ends the command where it happens: no progress line after
// it, the raw handle closed before the volume locks are dropped, and nothing
// written when the failure comes before the copy.
TEST_F(WriteImage, FailuresEndTheCommandWithTheirOwnAnswer) {
  const std::string image = pattern_bytes(12 * kMiB);
  card.sim.write_file("image.img", image);
  card.sim.write_file("device-image.img", image);
  card.sim.write_file("image.7z", std::string("7z\xBC\xAF\x27\x1C", 6) + image.substr(0, 1000));
  const std::string gzipped = testing::gzip_member(image);
  card.sim.write_file("image.gz", gzipped);
  std::string damaged = gzipped;
  damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x55);
  card.sim.write_file("damaged.gz", damaged);
  card.sim.write_file("large.gz", testing::gzip_member(testing::disk_image(std::string(card.card_size + 8 * kMiB, '\x11'))));
  // Its own table says its partition ends at 3 MiB; it ends at 1 MiB, which
  // only the decoding tells.
  card.sim.write_file("cut.gz", testing::gzip_member(testing::disk_image(pattern_bytes(kMiB), 3 * kMiB)));
  const std::string too_large = "The image does not fit the target disk: it holds more than " +
                                std::to_string(card.card_size + 4 * kMiB) + " bytes and the disk holds " +
                                std::to_string(card.card_size) + " bytes; the write stopped at byte " +
                                std::to_string(card.card_size) + ".";
  const json volume = {{"name", "\\\\?\\Volume{b00f}\\"},
                       {"extents", {{{"disk", 2}, {"startingOffset", 4 * kMiB}, {"length", 8 * kMiB}}}}};
  const json drive = "\\\\.\\PhysicalDrive2";
  const struct {
    const char* name;
    json faults;
    json more;
    const char* code;
    const char* message;
    const char* last_stage;  // the last progress line, "" for none
    bool drive_opened_for_writing;
  } cases[] = {
      {"write fault after 8 MiB",
       {{{"operation", "write"}, {"path", drive}, {"error", 1117}, {"afterBytes", 8 * kMiB}}}, {}, "WRITE_FAILED",
       "The request could not be performed because of an I/O device error. (os error 1117)", "", true},
      {"flush fault", {{{"operation", "flush"}, {"path", drive}, {"error", 31}}}, {}, "WRITE_FAILED",
       "A device attached to the system is not functioning. (os error 31)", "FINALIZE Flushing disk buffers", true},
      {"the new partition table not taken", {{{"operation", "updateProperties"}, {"path", drive}, {"error", 1117}}},
       {}, "WRITE_FAILED", "The request could not be performed because of an I/O device error. (os error 1117)",
       "FINALIZE Flushing disk buffers", true},
      {"image read fault", {{{"operation", "read"}, {"error", 23}, {"mode", "fileRead"}, {"skip", 1}}}, {},
       "WRITE_FAILED", "Reading the image failed: Data error (cyclic redundancy check). (os error 23)", "", true},
      {"image read fault at the image's first read", {{{"operation", "read"}, {"error", 23}, {"mode", "fileRead"}}},
       {}, "WRITE_FAILED",
       "Reading the image failed: Data error (cyclic redundancy check). (os error 23); nothing was written.", "",
       false},
      {"a volume that cannot be locked", {{{"operation", "lock"}, {"error", 5}}}, {}, "UNMOUNT_FAILED",
       "Unable to lock mounted volume \\\\?\\Volume{b00f}\\ after force-dismount: initial lock failed with Access is "
       "denied. (os error 5); lock retry failed with Access is denied. (os error 5). Close File Explorer windows and "
       "other programs using this target, then try again. Nothing was written.",
       "", false},
      {"a drive write that accepts nothing",
       {{{"operation", "write"}, {"path", drive}, {"maxBytesPerCall", 0}, {"skip", 1}}}, {}, "WRITE_FAILED",
       "failed to write whole buffer", "", true},
      {"raw open refused", {{{"operation", "open"}, {"path", drive}, {"error", 5}, {"mode", "exclusiveWrite"}}}, {},
       "ELEVATION_DENIED",
       "Windows denied exclusive raw disk access. Run Tovrin Zarerud as administrator, close File Explorer windows "
       "for this target, unplug and reconnect it, then try again.",
       "", false},
      {"raw open in use", {{{"operation", "open"}, {"path", drive}, {"error", 32}, {"mode", "exclusiveWrite"}}}, {},
       "DEVICE_DISCONNECTED",
       "The process cannot access the file because it is being used by another process. (os error 32); nothing was "
       "written.",
       "", false},
      {"card pulled before readback", {{{"operation", "disappear"}, {"path", drive}, {"error", 1167}, {"afterOpens", 5}}},
       {}, "DEVICE_DISCONNECTED", "The device is not connected. (os error 1167)", "FINALIZE Disk buffers flushed", true},
      {"image path names a drive", json::array(), {{"imagePath", "\\\\.\\PhysicalDrive0"}}, "IMAGE_MISSING",
       "Image path names a device or volume, not a file: \\\\.\\PhysicalDrive0; nothing was written.", "", false},
      {"image path names a volume", json::array(), {{"imagePath", "//?/Volume{b00f}"}}, "IMAGE_MISSING",
       "Image path names a device or volume, not a file: //?/Volume{b00f}; nothing was written.", "", false},
      {"image missing", json::array(), {{"imagePath", card.sim.file("gone.img")}}, "IMAGE_MISSING",
       "", "", false},
      {"7z streamed", json::array(), {{"imagePath", card.sim.file("image.7z")}, {"decompress", true}},
       "XZ_INVALID", "Unsupported image format: 7z archive; nothing was written.", "", false},
      {"bytesTotal beyond the card, streamed", json::array(),
       {{"imagePath", card.sim.file("image.gz")}, {"decompress", true}, {"bytesTotal", card.card_size + 512}},
       "WRITE_FAILED", "", "", false},
      {"damaged gzip streamed", json::array(), {{"imagePath", card.sim.file("damaged.gz")}, {"decompress", true}},
       "XZ_INVALID", "", "", true},
      {"decoded image larger than the card", json::array(),
       {{"imagePath", card.sim.file("large.gz")}, {"decompress", true}}, "WRITE_FAILED",
       too_large.c_str(), "", true},
      {"decoded image cut short, no size announced", json::array(),
       {{"imagePath", card.sim.file("cut.gz")}, {"decompress", true}}, "XZ_INVALID",
       "The image is cut short: its partition table says partition 1 ends at byte 3145728, but the image ends at "
       "byte 1048576 (a download that did not finish, or a damaged copy); the card holds its first 1048576 bytes and "
       "will not boot.",
       "FINALIZE Disk buffers flushed", true},
  };
  for (const auto& c : cases) {
    card.sim.write_file("card.img", std::string(card.card_size, '\0'));
    card.machine["volumes"] = json::array({volume});
    card.machine["faults"] = c.faults;
    json more = c.more.is_object() ? c.more : json::object();
    more["imagePath"] = more.value("imagePath", card.sim.file("image.img"));
    card.sim.write_file("events.log", "");
    lines = card.run("write_image", card.target(more));
    const json& response = lines.back();
    EXPECT_EQ(response["errorCode"], c.code) << c.name << response.dump();
    if (*c.message) EXPECT_EQ(response["errorMessage"], c.message) << c.name;
    const auto seen = testing::stages(lines);
    EXPECT_EQ(seen.empty() ? "" : seen.back(), c.last_stage) << c.name;

    bool opened = false, closed_before_unlock = true, drive_closed = false;
    for (const json& event : card.sim.events()) {
      if (event["op"] == "open" && event["path"] == drive && event["mode"] == "exclusiveWrite") opened = true;
      if (event["op"] == "close" && event["path"] == drive) drive_closed = true;
      if (event["op"] == "unlock" && opened && !drive_closed) closed_before_unlock = false;
    }
    EXPECT_EQ(opened, c.drive_opened_for_writing) << c.name;
    EXPECT_TRUE(closed_before_unlock) << c.name;
    if (!c.drive_opened_for_writing) EXPECT_TRUE(card.sim.read_file("card.img") == std::string(card.card_size, '\0'));
  }
}

}  // namespace
}  // namespace wh

namespace wh {
namespace {

TEST_F(WriteImage, ReadbackCorruptionIsRecheckedThenLocated) {
  const std::string image = pattern_bytes(6 * kMiB);
  card.sim.write_file("image.img", image);
  const std::uint64_t at = 5 * kMiB + 10;
  const json corrupt = {{"operation", "corrupt"}, {"path", "\\\\.\\PhysicalDrive2"}, {"offset", at},
                        {"bytesHex", "00ff"}, {"mode", "exclusiveRead"}};

  // Only the first readback sees it: the recheck matches.
  json once = corrupt;
  once["count"] = 1;
  card.machine["faults"] = {once};
  json payload = flash()["payload"];
  EXPECT_EQ(payload["verifyAttempts"], 2);
  EXPECT_NE(payload["firstObservedSha256"], payload["sourceSha256"]);
  EXPECT_EQ(payload["observedSha256"], payload["sourceSha256"]);
  EXPECT_TRUE(payload["mismatch"].is_null());
  EXPECT_EQ(testing::stages(lines).back(), kRecheck);

  // Every read sees it: the first differing byte and 32 bytes of each side.
  card.machine["faults"] = {corrupt};
  payload = flash()["payload"];
  EXPECT_EQ(payload["verifyAttempts"], 2);
  EXPECT_EQ(payload["firstObservedSha256"], payload["observedSha256"]);
  std::string expected, observed = "00ff";
  for (std::size_t i = 0; i < 32; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(image[at + i]));
    expected += hex;
    if (i >= 2) observed += hex;
  }
  EXPECT_EQ(payload["mismatch"], (json{{"offset", at}, {"expectedSampleHex", expected}, {"observedSampleHex", observed}}));

  // Streamed, the difference is located by decoding the image again.
  card.sim.write_file("image.img", testing::zstd_frame(image));
  const json streamed = flash({{"decompress", true}})["payload"];
  EXPECT_EQ(streamed["sourceSha256"], sha256_hex(image));
  EXPECT_EQ(streamed["mismatch"], payload["mismatch"]);
}

TEST_F(WriteImage, ShortImageReadsKeepEveryDriveWriteOnTheGrid) {
  const std::string image = pattern_bytes(9 * kMiB);
  card.sim.write_file("image.img", image);
  card.machine["faults"] = {{{"operation", "read"}, {"mode", "fileRead"}, {"maxBytesPerCall", 100000}}};
  const json payload = flash()["payload"];
  EXPECT_EQ(payload["observedSha256"], sha256_hex(image));
  for (const json& write : drive_writes()) {
    EXPECT_EQ(write["offset"].get<std::uint64_t>() % (4 * kMiB), 0u) << write;
  }
  EXPECT_EQ(drive_writes().size(), 3u);
}

}  // namespace
}  // namespace wh

namespace wh {
namespace {

// With the simulated clock at 75 ms per MiB moved, a 4 MiB chunk costs 600 ms
// to write (image read plus drive write) and 300 ms to read back.
TEST_F(WriteImage, ProgressIsPacedByTheClock) {
  const std::string image = pattern_bytes(16 * kMiB);
  card.sim.write_file("image.img", image);
  card.machine["msPerMiB"] = 75;
  const json payload = flash()["payload"];
  std::vector<json> writes, verifies;
  for (const json& line : lines) {
    if (line.value("stage", "") == "WRITE") writes.push_back(line);
    if (line.value("stage", "") == "VERIFY") verifies.push_back(line);
  }
  // At most one every 500 ms, and the final one. Image reads run ahead of
  // the writes by a varying amount, and both move the clock: never faster
  // than one chunk written per 0.6 s.
  ASSERT_GE(writes.size(), 2u);
  ASSERT_LE(writes.size(), 5u);
  EXPECT_EQ(writes.back()["bytesProcessed"], 16 * kMiB);
  // 100% once: the closing line only when the last paced one fell short.
  EXPECT_NE(writes[writes.size() - 2]["bytesProcessed"], writes.back()["bytesProcessed"]);
  EXPECT_LE(writes[0]["speedBps"].get<double>(), 4 * kMiB / 0.6);
  // At most one every 500 ms: the start, after 8 and 16 MiB, the end.
  ASSERT_EQ(verifies.size(), 4u);
  EXPECT_EQ(verifies[1]["bytesProcessed"], 8 * kMiB);
  EXPECT_EQ(verifies[3]["bytesProcessed"], 16 * kMiB);
  // The flush speed covers the whole copy, 2.4 s of simulated time.
  EXPECT_LE(payload["speedBps"].get<double>(), 16 * kMiB / 2.4);
  EXPECT_GT(payload["speedBps"].get<double>(), 16 * kMiB / 2.8);
}

}  // namespace
}  // namespace wh
