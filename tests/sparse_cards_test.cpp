// Sparse writes of realistic images (tests/sparse/make_sparse_cards.sh) onto
// cards that held other bytes: random ones for a write from the prepared
// image, 0xFF for one streamed from .zst with the map of its measuring pass.
// Then the card's file systems pass fsck, every file reads as in the image,
// and every byte outside the scanned file systems equals the image's.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "flash_fixture.h"
#include "xz_samples.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::FlashMachine;
using testing::kMiB;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void spill(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A command's exit status, its output kept in `log`.
int run(const std::string& command, const std::string& log) {
  return std::system(("PATH=$PATH:/usr/sbin:/sbin " + command + " >" + log + " 2>&1").c_str());
}

struct Row {
  const char* image;
  std::map<int, const char*> whole;  // partition number -> why it is written whole
  const char* refused = nullptr;     // the refusal, before the card is touched
};

const Row kRows[] = {
    {"fat-ext4", {}},
    {"gpt", {}},
    {"unknown", {{2, "its partition type is not one whose file system is read"},
                 {3, "its partition type is not one whose file system is read"}}},
    {"unsupported", {{2, "it has an unknown incompatible feature"}}},
    // Its partitions end past it: it would not boot, so it is not written.
    {"short", {}, "The image is cut short: its partition table says partition 2 ends at byte "},
};

// The files of a partition's file system, listed and dumped into `dir`.
bool dump_files(const std::string& part, const std::string& file_system, const std::string& dir) {
  std::filesystem::create_directories(dir);
  if (file_system.starts_with("FAT")) {
    return run("MTOOLS_SKIP_CHECK=1 mcopy -s -n -i " + part + " ::/ " + dir, dir + ".log") == 0;
  }
  return run("debugfs -R 'rdump / " + dir + "' " + part, dir + ".log") == 0;
}

TEST(SparseCards, FileSystemsFilesAndEverythingOutsideThemSurviveASparseWrite) {
  for (const Row& row : kRows) {
    const std::string image_path = std::string(SPARSE_CARDS_DIR "/") + row.image + ".img";
    const std::string image = slurp(image_path);
    ASSERT_FALSE(image.empty()) << image_path;
    for (const bool streamed : {false, true}) {
      const std::string name = std::string(row.image) + (streamed ? " streamed onto 0xFF" : " onto random bytes");
      FlashMachine card(image.size() + 8 * kMiB);
      card.machine["drives"][0]["mountSideEffects"] = false;  // what is proven is the write alone
      const std::string old = streamed ? std::string(card.card_size, '\xFF') : testing::varied_bytes(card.card_size);
      card.sim.write_file("card.img", old);
      json payload = {{"imagePath", image_path}, {"sparse", true}};
      if (streamed) {
        const json measured =
            card.response("image_uncompressed_size", {{"imagePath", image_path + ".zst"}, {"anyFormat", true}, {"sparse", true}});
        if (row.refused != nullptr && measured["ok"] == false) {
          EXPECT_NE(measured["errorMessage"].get<std::string>().find(row.refused), std::string::npos) << name;
          continue;
        }
        ASSERT_EQ(measured["ok"], true) << name << measured.dump();
        payload = {{"imagePath", image_path + ".zst"}, {"decompress", true}, {"sparse", true},
                   {"bytesTotal", image.size()}, {"writeMap", measured["payload"]["writeMap"]}};
      }
      const json response = card.response("write_image", card.target(payload));
      if (row.refused != nullptr) {
        const std::string said = response.value("errorMessage", "");
        EXPECT_NE(said.find(row.refused), std::string::npos) << name << response.dump();
        EXPECT_TRUE(said.ends_with("; nothing was written.")) << name << said;
        EXPECT_TRUE(card.sim.read_file("card.img") == old) << name << ": the card was touched";
        continue;
      }
      ASSERT_EQ(response["ok"], true) << name << response.dump();
      const json& written = response["payload"];
      EXPECT_EQ(written["sourceSha256"], testing::sha256_hex(image)) << name;
      EXPECT_EQ(written["observedSha256"], written["writtenSha256"]) << name;
      EXPECT_EQ(written["verifyAttempts"], 1) << name;
      EXPECT_EQ(written["bytesWritten"].get<std::uint64_t>() + written["bytesSkipped"].get<std::uint64_t>(),
                image.size()) << name;
      EXPECT_GT(written["bytesSkipped"].get<std::uint64_t>(), 0u) << name;

      const std::string card_bytes = card.sim.read_file("card.img");
      std::vector<std::pair<std::uint64_t, std::uint64_t>> scanned;
      for (const json& part : written["writeMap"]["partitions"]) {
        const int number = part["number"];
        const auto why = row.whole.find(number);
        EXPECT_EQ(part["writtenWhole"], why == row.whole.end() ? "" : why->second) << name << " " << part.dump();
        if (part["writtenWhole"] != "") continue;
        const auto offset = part["offset"].get<std::uint64_t>(), bytes = part["bytes"].get<std::uint64_t>();
        scanned.emplace_back(offset, offset + bytes);
        const std::string dir = card.sim.file("p" + std::to_string(number));
        const std::string fs = part["fileSystem"];
        spill(dir + "-card", card_bytes.substr(offset, bytes));
        spill(dir + "-image", image.substr(offset, bytes));
        const std::string check = fs.starts_with("FAT") ? "fsck.fat -n " : "e2fsck -fn ";
        EXPECT_EQ(run(check + dir + "-card", dir + "-fsck.log"), 0) << name << " " << fs << slurp(dir + "-fsck.log");
        ASSERT_TRUE(dump_files(dir + "-card", fs, dir + "-card-files")) << name << slurp(dir + "-card-files.log");
        ASSERT_TRUE(dump_files(dir + "-image", fs, dir + "-image-files")) << name;
        EXPECT_EQ(run("diff -r " + dir + "-image-files " + dir + "-card-files", dir + "-diff.log"), 0)
            << name << " " << fs << slurp(dir + "-diff.log");
      }
      EXPECT_FALSE(scanned.empty()) << name;
      // Everything else, in order: the tables, the gaps, the partitions
      // written whole.
      std::sort(scanned.begin(), scanned.end());
      std::uint64_t from = 0;
      scanned.emplace_back(image.size(), image.size());
      for (const auto& [start, end] : scanned) {
        EXPECT_TRUE(card_bytes.compare(from, start - from, image, from, start - from) == 0)
            << name << ": the card differs from the image in [" << from << ", " << start << ")";
        from = std::max(from, end);
      }
    }
  }
}

}  // namespace
}  // namespace wh
