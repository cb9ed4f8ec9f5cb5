// The three image commands end to end on the simulated Windows: payload
// checks, decoded bytes, digests, the prepared file and its progress lines.
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "frame/entry.h"
#include "image/xz_decode.h"
#include "sim_dir.h"
#include "platform/sim/sim_machine_file.h"
#include "xz_samples.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::SimDir;

constexpr std::size_t kMiB = 1u << 20;

// A clock that advances by `step` at every reading, so progress timing does
// not depend on how fast the machine decodes. A zero step freezes it.
class SteppedPlatform : public sim::SimPlatform {
 public:
  SteppedPlatform(sim::SimMachine machine, Instant step)
      : SimPlatform(std::move(machine)), step_(step) {}
  Instant now() override { return time_ += step_; }

 private:
  Instant step_;
  Instant time_{};
};

class ImageCommands : public ::testing::Test {
 protected:
  ImageCommands() { sim.write_machine(machine); }

  // Every line one request produces.
  std::vector<std::string> run(const std::string& command, const json& payload,
                               Instant step = Instant{}) {
    auto loaded = sim::machine_from_json(machine, sim.path());
    SteppedPlatform platform(std::move(loaded).value(), step);
    const json request{{"id", "r1"}, {"sessionId", "s1"}, {"command", command}, {"payload", payload}};
    CapturedLines out;
    EXPECT_EQ(run_helper({"--request", request.dump()}, platform, out), 0);
    return out.lines;
  }

  json response(const std::string& command, const json& payload) {
    auto lines = run(command, payload);
    return lines.empty() ? json() : json::parse(lines.back());
  }

  json extract(const std::string& image, json extra = json::object()) {
    extra["imagePath"] = sim.file(image);
    extra["outputPath"] = sim.file("prepared.img");
    return response("image_extract_xz", extra);
  }

  std::string prepared() const { return sim.read_file("prepared.img"); }

  SimDir sim;
  json machine = {{"elevated", true}};
};

json failure(const std::string& code, const std::string& message) {
  return {{"id", "r1"}, {"ok", false}, {"errorCode", code}, {"errorMessage", message}};
}

TEST_F(ImageCommands, AllThreeAgreeOnAnImage) {
  const std::string data = testing::varied_bytes(3 * kMiB + 123);
  sim.write_file("image.xz", testing::xz_single_block(data));
  const json image{{"imagePath", sim.file("image.xz")}};

  EXPECT_EQ(response("image_validate_xz", image)["payload"], (json{{"valid", true}}));
  EXPECT_EQ(response("image_uncompressed_size", image)["payload"],
            (json{{"uncompressedBytes", data.size()}, {"format", "xz"}}));
  const json result = extract("image.xz");
  EXPECT_EQ(result["payload"], (json{{"outputPath", sim.file("prepared.img")},
                                     {"sha256", testing::sha256_hex(data)},
                                     {"outputSynced", true}}));
  EXPECT_EQ(prepared(), data);
}

TEST_F(ImageCommands, ZeroContentGetsItsFullLengthFromTheEndOfFile) {
  const std::string zeros(5 * kMiB + 7, '\0');
  sim.write_file("zeros.xz", testing::xz_single_block(zeros));
  auto lines = run("image_extract_xz", {{"imagePath", sim.file("zeros.xz")},
                                        {"outputPath", sim.file("prepared.img")}});
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(json::parse(lines[1])["bytesProcessed"], zeros.size());
  EXPECT_EQ(json::parse(lines[2])["payload"]["sha256"], testing::sha256_hex(zeros));
  EXPECT_EQ(prepared(), zeros);
}

TEST_F(ImageCommands, ZerosAfterDataAndBetweenDataAreKept) {
  // Data, a long zero run, data again, then zeros to the end: the skipped
  // runs must come back as zeros in the right places and the full length.
  const std::string data = testing::varied_bytes(kMiB + 5) + std::string(3 * kMiB, '\0') +
                           testing::varied_bytes(700, 2) + std::string(4 * kMiB + 9, '\0');
  sim.write_file("image.xz", testing::xz_single_block(data));
  EXPECT_EQ(extract("image.xz")["payload"]["sha256"], testing::sha256_hex(data));
  EXPECT_EQ(prepared(), data);
}

TEST_F(ImageCommands, ManyBlocksDecodeExactlyAsOne) {
  const std::string data = testing::varied_bytes(2 * kMiB) + std::string(3 * kMiB, '\0') +
                           testing::varied_bytes(kMiB, 3);
  sim.write_file("one.xz", testing::xz_single_block(data));
  sim.write_file("many.xz", testing::xz_multi_block(data, 256 * 1024));
  const json one = extract("one.xz");
  const std::string one_file = prepared();
  const json many = extract("many.xz");
  EXPECT_EQ(many["payload"]["sha256"], one["payload"]["sha256"]);
  EXPECT_EQ(prepared(), one_file);
  EXPECT_EQ(response("image_uncompressed_size", {{"imagePath", sim.file("many.xz")}})["payload"],
            (json{{"uncompressedBytes", data.size()}, {"format", "xz"}}));
}

// What the xz tool makes of a file: the SHA-256 of its decoded bytes, or
// "rejected".
std::string xz_tool_decode(const std::string& path) {
  FILE* pipe = ::popen(("xz -dc -- '" + path + "' 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return "xz did not start";
  std::string out;
  char buffer[65536];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, got);
  return ::pclose(pipe) == 0 ? testing::sha256_hex(out) : "rejected";
}

TEST_F(ImageCommands, ConcatenatedStreamsDecodeAsXzDoes) {
  for (const auto& sample : testing::concatenated_samples()) {
    SCOPED_TRACE(sample.name);
    sim.write_file("joined.xz", sample.xz);
    // The samples must be what they claim, judged by the xz tool itself.
    ASSERT_EQ(xz_tool_decode(sim.file("joined.xz")),
              sample.decoded ? testing::sha256_hex(*sample.decoded) : "rejected");

    const json image{{"imagePath", sim.file("joined.xz")}};
    const json validated = response("image_validate_xz", image);
    const json measured = response("image_uncompressed_size", image);
    const json extracted = extract("joined.xz", {{"captureSourceSha", true}});
    if (!sample.decoded) {
      const json rejected = failure("XZ_INVALID", sample.error);
      EXPECT_EQ(validated, rejected);
      EXPECT_EQ(measured, rejected);
      EXPECT_EQ(extracted, rejected);
      continue;
    }
    const std::string& data = *sample.decoded;
    EXPECT_EQ(validated["payload"], (json{{"valid", true}}));
    EXPECT_EQ(measured["payload"], (json{{"uncompressedBytes", data.size()}, {"format", "xz"}}));
    EXPECT_EQ(extracted["payload"], (json{{"outputPath", sim.file("prepared.img")},
                                          {"sha256", testing::sha256_hex(data)},
                                          {"outputSynced", true},
                                          {"sourceSha256", testing::sha256_hex(sample.xz)}}));
    EXPECT_TRUE(prepared() == data);
  }
}

TEST_F(ImageCommands, SourceDigestOnlyWhenAskedWithTrue) {
  const std::string xz = testing::xz_single_block("boot");
  sim.write_file("image.xz", xz);
  EXPECT_EQ(extract("image.xz", {{"captureSourceSha", true}})["payload"]["sourceSha256"],
            testing::sha256_hex(xz));
  for (const json& flag : {json(false), json("true"), json(1)}) {
    EXPECT_FALSE(extract("image.xz", {{"captureSourceSha", flag}})["payload"].contains("sourceSha256"))
        << flag;
  }
}

TEST_F(ImageCommands, BrokenStreamsAreXzInvalid) {
  const std::string data = testing::varied_bytes(2 * kMiB);
  const std::string xz = testing::xz_single_block(data);
  sim.write_file("corrupt.xz", testing::with_corrupt_check(xz));
  sim.write_file("plain.xz", "not compressed at all");
  sim.write_file("greedy.xz", testing::with_huge_dictionary(xz));
  for (const char* command : {"image_validate_xz", "image_uncompressed_size", "image_extract_xz"}) {
    // Refused before the dictionary is allocated.
    const json greedy = response(command, {{"imagePath", sim.file("greedy.xz")},
                                           {"outputPath", sim.file("prepared.img")}});
    EXPECT_EQ(greedy, failure("XZ_INVALID", "xz error: decoding would need more than 1024 MiB of memory, far more "
                                            "than any disk image needs; the file is damaged or not a disk image"))
        << command;
    const json corrupt = response(command, {{"imagePath", sim.file("corrupt.xz")},
                                            {"outputPath", sim.file("prepared.img")}});
    EXPECT_EQ(corrupt, failure("XZ_INVALID", "xz error: compressed data is corrupt")) << command;
    const json plain = response(command, {{"imagePath", sim.file("plain.xz")},
                                          {"outputPath", sim.file("prepared.img")}});
    EXPECT_EQ(plain, failure("XZ_INVALID", "xz error: file format not recognized")) << command;
  }
}

TEST_F(ImageCommands, TruncatedInputKeepsThePartialOutputAndSendsNoFinalEvent) {
  const std::string data = testing::varied_bytes(4 * kMiB);
  const std::string xz = testing::xz_single_block(data);
  sim.write_file("cut.xz", xz.substr(0, xz.size() * 3 / 4));
  auto lines = run("image_extract_xz", {{"imagePath", sim.file("cut.xz")},
                                        {"outputPath", sim.file("prepared.img")}});
  // The clock is frozen: the 0-byte event, then only the failure.
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(json::parse(lines[0])["bytesProcessed"], 0);
  EXPECT_EQ(json::parse(lines[1]), failure("XZ_INVALID", "xz error: unexpected end of input"));
  const std::string partial = prepared();
  EXPECT_GT(partial.size(), 0u);
  EXPECT_EQ(partial, data.substr(0, partial.size()));
}

TEST_F(ImageCommands, ProgressLinesOfOneExtraction) {
  // Four pieces (three whole, then the rest) and a clock that moves 300 ms at
  // every reading: an event after the second and the fourth piece, then the
  // final one even though one was just sent.
  constexpr std::uint64_t kPiece = kDecodedPieceBytes;
  const std::string data = testing::varied_bytes(3 * kPiece + 4096);
  sim.write_file("image.xz", testing::xz_single_block(data));
  auto lines = run("image_extract_xz",
                   {{"imagePath", sim.file("image.xz")}, {"outputPath", sim.file("prepared.img")},
                    {"uncompressedBytes", 1.9e9}},
                   std::chrono::milliseconds(300));
  const std::string head =
      R"({"bytesProcessed":)";
  const std::string tail =
      R"(,"bytesTotal":1900000000,"event":"progress","message":"Writing prepared image to cache","sessionId":"s1","speedBps":)";
  const std::string end = R"(,"stage":"PREPARE","taskId":"image-prep"})";
  const auto event = [&](std::uint64_t bytes, std::uint64_t elapsed_ms) {
    return head + std::to_string(bytes) + tail + std::to_string(bytes * 1000 / elapsed_ms) + end;
  };
  const std::vector<std::string> expected{
      event(0, 1000),
      event(2 * kPiece, 1200),
      event(data.size(), 2400),
      event(data.size(), 3000),
  };
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end() - 1), expected);
  EXPECT_EQ(json::parse(lines[4])["ok"], true);
}

// The checks decode whole images too, and say so at extraction's pace: a
// line at 0 bytes, then at most every 500 ms, then the end; out of the size
// the XZ index declares.
TEST_F(ImageCommands, ChecksSendPrepareLinesAsTheyDecode) {
  const std::string data = testing::varied_bytes(3 * kDecodedPieceBytes + 4096);
  sim.write_file("image.xz", testing::xz_single_block(data));
  for (const auto& [command, message] : {std::pair{"image_validate_xz", "Checking image"},
                                         std::pair{"image_uncompressed_size", "Measuring image"}}) {
    SCOPED_TRACE(command);
    const auto lines = run(command, {{"imagePath", sim.file("image.xz")}}, std::chrono::milliseconds(300));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(json::parse(lines.back())["ok"], true);
    std::uint64_t before = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
      const json line = json::parse(lines[i]);
      EXPECT_EQ(line["stage"], "PREPARE");
      EXPECT_EQ(line["taskId"], "image-prep");
      EXPECT_EQ(line["message"], message);
      EXPECT_EQ(line["bytesTotal"], data.size());
      if (i == 0) EXPECT_EQ(line["bytesProcessed"], 0);
      if (i > 0) EXPECT_GT(line["bytesProcessed"].get<std::uint64_t>(), before) << "one line per count";
      before = line["bytesProcessed"];
    }
    EXPECT_EQ(before, data.size());
  }
}

TEST_F(ImageCommands, PayloadChecksComeInOrder) {
  EXPECT_EQ(response("image_validate_xz", json::object()),
            failure("UNKNOWN", "Missing imagePath payload field"));
  EXPECT_EQ(response("image_uncompressed_size", {{"imagePath", 7}}),
            failure("UNKNOWN", "Missing imagePath payload field"));
  EXPECT_EQ(response("image_validate_xz", {{"imagePath", ""}}),
            failure("IMAGE_MISSING", "Image does not exist: "));
  EXPECT_EQ(response("image_uncompressed_size", {{"imagePath", sim.file("absent.xz")}}),
            failure("IMAGE_MISSING", "Image does not exist: " + sim.file("absent.xz")));
  // The output path is read before the image is looked for.
  EXPECT_EQ(response("image_extract_xz", {{"imagePath", sim.file("absent.xz")}}),
            failure("UNKNOWN", "Missing outputPath payload field"));
  EXPECT_EQ(response("image_extract_xz", {{"imagePath", sim.file("absent.xz")},
                                          {"outputPath", sim.file("prepared.img")}}),
            failure("IMAGE_MISSING", "Image does not exist: " + sim.file("absent.xz")));
  EXPECT_NE(::access(sim.file("prepared.img").c_str(), F_OK), 0);
}

TEST_F(ImageCommands, AnImageThatExistsButCannotBeReadFailsAtTheOpen) {
  sim.write_file("image.xz", testing::xz_single_block("x"));
  machine["faults"] = {{{"operation", "open"}, {"path", sim.file("image.xz")}, {"error", 5}}};
  sim.write_machine(machine);
  EXPECT_EQ(response("image_validate_xz", {{"imagePath", sim.file("image.xz")}}),
            failure("XZ_INVALID", "Access is denied. (os error 5)"));
}

TEST_F(ImageCommands, ThePreparedImageIsAskedToBeSparseButNeedNotBe) {
  const std::string data = testing::varied_bytes(kMiB) + std::string(4 * kMiB, '\0');
  sim.write_file("image.xz", testing::xz_single_block(data));
  const std::string output = sim.file("prepared.img");
  const auto sparse_requests = [&] {
    int n = 0;
    for (const json& event : sim.events()) n += event.value("op", "") == "sparse" && event.value("path", "") == output;
    return n;
  };
  EXPECT_EQ(extract("image.xz")["ok"], true);
  EXPECT_EQ(sparse_requests(), 1);
  // FAT and exFAT refuse sparse files; the image comes out the same.
  machine["faults"] = {{{"operation", "setSparse"}, {"path", output}, {"error", 1}}};
  sim.write_machine(machine);
  EXPECT_EQ(extract("image.xz")["ok"], true);
  EXPECT_EQ(prepared(), data);
}

TEST_F(ImageCommands, FileFailuresCarryTheSystemsText) {
  sim.write_file("image.xz", testing::xz_single_block(testing::varied_bytes(3 * kMiB)));
  const std::string output = sim.file("prepared.img");
  const std::vector<std::pair<json, std::string>> cases{
      {{{"operation", "read"}, {"path", sim.file("image.xz")}, {"error", 23}},
       "io error: Data error (cyclic redundancy check). (os error 23)"},
      {{{"operation", "write"}, {"path", output}, {"afterBytes", kMiB}, {"error", 112}},
       "io error: There is not enough space on the disk. (os error 112)"},
      {{{"operation", "setEndOfFile"}, {"path", output}, {"error", 112}},
       "There is not enough space on the disk. (os error 112)"},
      {{{"operation", "flush"}, {"path", output}, {"error", 1117}},
       "The request could not be performed because of an I/O device error. (os error 1117)"},
  };
  for (const auto& [fault, message] : cases) {
    machine["faults"] = {fault};
    sim.write_machine(machine);
    EXPECT_EQ(extract("image.xz"), failure("XZ_INVALID", message)) << fault;
  }
}

}  // namespace
}  // namespace wh

namespace wh {
namespace {

// `data` through a compressor's command line ("gzip -c", "bzip2 -c").
std::string compressed(const SimDir& sim, const std::string& command, const std::string& data) {
  sim.write_file("plain.bin", data);
  const std::string run = command + " < '" + sim.file("plain.bin") + "' > '" + sim.file("packed.bin") + "'";
  if (std::system(run.c_str()) != 0) throw std::runtime_error(command + " failed");
  return sim.read_file("packed.bin");
}

// What a format's own tool decodes from `file` ("gzip -dc", "bzip2 -dc").
std::string tool_output(const SimDir& sim, const std::string& command, const std::string& file) {
  const std::string run = command + " < '" + sim.file(file) + "' > '" + sim.file("tool.bin") + "' 2>/dev/null";
  (void)std::system(run.c_str());  // gzip exits 2 after ignoring trailing zeros: a warning
  return sim.read_file("tool.bin");
}

// The format-neutral commands: each format found from the file's first
// bytes and decoded as its own tool decodes it; damage named by format.
TEST_F(ImageCommands, EveryFormatDecodesAsItsOwnToolDoes) {
  const std::string a = testing::disk_image(testing::varied_bytes(2 * kMiB + 77, 3)) + std::string(3 * kMiB, '\0');
  const std::string b = testing::disk_image(testing::varied_bytes(kMiB + 5, 4));
  const std::string gz = compressed(sim, "gzip -c -6", a) + compressed(sim, "gzip -c -1", b);
  const std::string bz = compressed(sim, "bzip2 -c", a) + compressed(sim, "bzip2 -c", b);
  // A skippable frame (magic 0x184D2A5?, a length, that many bytes) first and between.
  const std::string skippable("\x53\x2A\x4D\x18\x03\x00\x00\x00" "abc", 11);
  const std::string zst = skippable + compressed(sim, "zstd -q -c", a) + skippable + compressed(sim, "zstd -q -c -19", b);
  struct Case {
    const char* name;
    std::string file;
    const char* tool;       // the format's own decoder, or nullptr
    std::string expected;   // the decoded bytes, or the error message
    bool fails;
    const char* format = "";            // of a success
    const char* table = "mbr";          // of a success
    bool measured = false;              // a failure that image_uncompressed_size measures all the same
  };
  std::string corrupt_gz = gz;
  corrupt_gz[gz.size() / 3] = static_cast<char>(corrupt_gz[gz.size() / 3] ^ 0x55);
  // zip's own archives: from a pipe (sizes in a data descriptor, Zip64), and
  // stored inside a folder, whose entry is passed over.
  const std::string piped_zip = compressed(sim, "zip -q - -", a + b);
  std::filesystem::create_directory(sim.file("folder"));
  sim.write_file("folder/pi.img", a + b);
  if (std::system(("cd '" + sim.path() + "' && zip -q -r -0 stored.zip folder").c_str()) != 0) FAIL() << "zip failed";
  const std::string unzip_stored = "unzip -p '" + sim.file("stored.zip") + "' folder/pi.img";
  // An entry that claims 4096 bytes more than its data holds, in both of its
  // headers: minizip alone would end it early without checking its CRC-32.
  std::string long_zip = testing::zip_archive({{"pi.img", b}});
  const auto claim = [&long_zip, &b](std::size_t at) {
    const std::uint32_t size = static_cast<std::uint32_t>(b.size() + 4096);
    for (int i = 0; i < 4; ++i) long_zip[at + i] = static_cast<char>(size >> (8 * i));
  };
  claim(22);                                                       // local header
  claim(long_zip.find(std::string("PK\x01\x02", 4)) + 24);        // central directory
  std::string corrupt_zip = testing::zip_archive({{"pi.img", a + b}});
  corrupt_zip[corrupt_zip.size() / 3] = static_cast<char>(corrupt_zip[corrupt_zip.size() / 3] ^ 0x55);
  // Disk images the checks know, and files that are none.
  std::string iso(40 * 1024, '\0');
  iso.replace(32768, 6, "\x01" "CD001");
  const auto gpt = [](std::uint64_t last_lba) {
    std::string disk = testing::varied_bytes(kMiB, 9);
    std::fill(disk.begin() + 446, disk.begin() + 1024 + 128 * 128, '\0');
    disk[446 + 4] = static_cast<char>(0xEE);
    disk[446 + 8] = 1;
    disk[446 + 12] = disk[446 + 13] = disk[446 + 14] = disk[446 + 15] = static_cast<char>(0xFF);
    disk[510] = 0x55;
    disk[511] = static_cast<char>(0xAA);
    disk.replace(512, 8, "EFI PART");
    disk[512 + 72] = 2;                   // entries from LBA 2
    disk[512 + 80] = static_cast<char>(128);  // 128 of them
    disk[512 + 84] = static_cast<char>(128);  // of 128 bytes
    disk[1024] = 0x28;                    // entry 1: a type GUID, then LBA 34 to `last_lba`
    disk[1024 + 32] = 34;
    for (int i = 0; i < 8; ++i) disk[1024 + 40 + i] = static_cast<char>(last_lba >> (8 * i));
    return disk;
  };
  const std::string tar = [] {
    std::string header(1024, '\0');
    header.replace(257, 6, std::string("ustar\0", 6));
    return header;
  }();
  const std::string html = "<!DOCTYPE html><html><body>Not found</body></html>\n" + std::string(700, ' ');
  const std::string cut = testing::disk_image(testing::varied_bytes(kMiB, 5), 3 * kMiB);
  const std::string cut_message =
      "The image is cut short: its partition table says partition 1 ends at byte 3145728, but the image ends at "
      "byte 1048576";
  const std::vector<Case> cases{
      {"raw", a + b, nullptr, a + b, false, "raw"},
      {"gzip, two members and trailing zeros", gz + std::string(512, '\0'), "gzip -dc", a + b, false, "gzip"},
      {"bzip2, two streams", bz, "bzip2 -dc", a + b, false, "bzip2"},
      {"zstd, two frames and skippable ones", zst, "zstd -q -dc", a + b, false, "zstd"},
      {"ISO 9660, no partition table", iso, nullptr, iso, false, "raw", "none"},
      {"GPT", gpt(2047), nullptr, gpt(2047), false, "raw", "gpt"},
      {"GPT cut short", gpt(8191), nullptr,
       "The image is cut short: its partition table says partition 1 ends at byte 4194304, but the image ends at "
       "byte 1048576",
       true, "", "", true},
      {"raw cut short", cut, nullptr, cut_message, true, "", "", true},
      {"gzip cut short", testing::gzip_member(cut), nullptr, cut_message, true, "", "", true},
      {"empty", "", nullptr, "The image is empty: it holds no bytes", true, "", "", true},
      {"empty gzip", testing::gzip_member(""), nullptr, "The image is empty: the gzip file decodes to no bytes", true,
       "", "", true},
      {"an HTML page", html, nullptr, "Not a disk image: its first sector has no boot signature", true, "", "", true},
      {"lz4", std::string("\x04\x22\x4D\x18\x64\x40\xA7", 7) + html, nullptr, "Unsupported image format: lz4 file",
       true, "", "", true},
      {".xz.gz", testing::gzip_member(testing::xz_single_block(b)), nullptr,
       "Not a disk image: the gzip file holds an xz file (compressed twice?)", true, "", "", true},
      {"tar inside .xz", testing::xz_single_block(tar), nullptr,
       "Not a disk image: the xz file holds a tar archive, not a disk image", true, "", "", true},
      {"zstd cut short", zst.substr(0, zst.size() - 7), nullptr, "zstd error: unexpected end of file", true},
      {"zstd then garbage", zst + "garbage", nullptr, "zstd error: ", true},
      {"xz", testing::xz_single_block(b), "xz -dc", b, false, "xz"},
      {"gzip cut short", gz.substr(0, gz.size() - 9), nullptr, "gzip error: unexpected end of file", true},
      {"gzip damaged", corrupt_gz, nullptr, "gzip error: ", true},
      {"bzip2 cut short", bz.substr(0, bz.size() / 2), nullptr, "bzip2 error: compressed file ends unexpectedly", true},
      {"7z", std::string("7z\xBC\xAF\x27\x1C", 6) + b, nullptr, "Unsupported image format: 7z archive", true},
      {"rar", std::string("Rar!\x1A\x07\x01\x00", 8) + b, nullptr, "Unsupported image format: rar archive", true},
      {"zip from a pipe", piped_zip, "funzip", a + b, false, "zip"},
      {"zip, stored in a folder", sim.read_file("stored.zip"), unzip_stored.c_str(), a + b, false, "zip"},
      {"zip of two files", testing::zip_archive({{"a.img", a}, {"b.img", b}}), nullptr,
       "Unsupported image format: a zip archive of 2 files (an image archive holds exactly one)", true},
      {"zip, encrypted", testing::zip_archive({{"pi.img", b}}, false, "secret"), nullptr,
       "Unsupported image format: an encrypted zip archive", true},
      {"zip cut short", piped_zip.substr(0, piped_zip.size() - 30), nullptr, "zip error: ", true},
      {"zip damaged", corrupt_zip, nullptr, "zip error: ", true},
      {"zip shorter than it claims", long_zip, nullptr,
       "zip error: the image ends after " + std::to_string(b.size()) + " of its " + std::to_string(b.size() + 4096) +
           " bytes",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim.write_file("image.bin", c.file);
    const json image{{"imagePath", sim.file("image.bin")}};
    const json extracted =
        response("image_extract", {{"imagePath", sim.file("image.bin")}, {"outputPath", sim.file("prepared.img")}});
    const json validated = response("image_validate", image);
    const json size = response("image_uncompressed_size", {{"imagePath", sim.file("image.bin")}, {"anyFormat", true}});
    if (c.fails) {
      for (const json& answer : {extracted, validated, size}) {
        if (c.measured && answer == size) continue;
        EXPECT_EQ(answer["errorCode"], "XZ_INVALID");
        EXPECT_TRUE(answer.value("errorMessage", "").starts_with(c.expected)) << answer.dump();
      }
      // A measure, not a check: no table named for what is no disk image.
      if (c.measured) {
        EXPECT_EQ(size["ok"], true) << size.dump();
        EXPECT_EQ(size["payload"].contains("partitionTable"), c.expected.starts_with("The image is cut short"));
      }
      continue;
    }
    ASSERT_EQ(extracted["ok"], true) << extracted.dump();
    EXPECT_TRUE(prepared() == c.expected);
    if (c.tool != nullptr) EXPECT_TRUE(tool_output(sim, c.tool, "image.bin") == c.expected);
    EXPECT_EQ(validated["payload"], (json{{"valid", true}, {"format", c.format}, {"partitionTable", c.table}}));
    EXPECT_EQ(size["payload"], (json{{"uncompressedBytes", c.expected.size()},
                                     {"sha256", testing::sha256_hex(c.expected)},
                                     {"format", c.format},
                                     {"partitionTable", c.table}}));
  }
  // Bytes without a partition table, asked for by name, pass as they are;
  // a known kind of file does not.
  sim.write_file("image.bin", html);
  const json raw = {{"imagePath", sim.file("image.bin")}, {"rawWithoutPartitionTable", true}};
  EXPECT_EQ(response("image_validate", raw)["payload"],
            (json{{"valid", true}, {"format", "raw"}, {"partitionTable", "none"}}));
  json raw_extract = raw;
  raw_extract["outputPath"] = sim.file("prepared.img");
  EXPECT_EQ(response("image_extract", raw_extract)["ok"], true);
  EXPECT_TRUE(prepared() == html);
  sim.write_file("image.bin", tar);
  EXPECT_EQ(response("image_validate", raw)["errorMessage"], "Unsupported image format: tar archive");
  // The XZ commands keep to XZ.
  sim.write_file("image.gz", gz);
  EXPECT_EQ(response("image_validate_xz", {{"imagePath", sim.file("image.gz")}}),
            failure("XZ_INVALID", "xz error: file format not recognized"));
}

}  // namespace
}  // namespace wh
