// classify_mismatch on a realistic card: what Windows' mount changes is safe,
// every other changed byte is not, and images without a sound FAT32 boot
// partition cannot be classified at all.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "flash_fixture.h"
#include "xz_samples.h"
#include "platform/sim/sim_mount.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::FlashMachine;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

const json& manifest() {
  static const json cards = json::parse(slurp(CARD_IMAGES_DIR "/cards.json"));
  return cards;
}

class Classify : public ::testing::Test {
 protected:
  Classify() : card(manifest()["images"]["card"]["size"].get<std::uint64_t>()) {
    image = slurp(CARD_IMAGES_DIR "/card.img");
    card.sim.write_file("image.img", image);
    card.sim.write_file("card.img", image);  // freshly flashed
  }
  json classify(std::uint64_t total, const std::string& image_name = "image.img") {
    return card.response("classify_mismatch",
                         card.target({{"imagePath", card.sim.file(image_name)}, {"bytesTotal", total}}));
  }
  // The same question about a streamed write of the image as gzip.
  json classify_decompressed(std::uint64_t total) {
    if (!gzipped) card.sim.write_file("image.img.gz", testing::gzip_member(image));
    gzipped = true;
    return card.response("classify_mismatch", card.target({{"imagePath", card.sim.file("image.img.gz")},
                                                           {"bytesTotal", total},
                                                           {"decompress", true}}));
  }
  std::uint64_t offset(const char* name, int index = -1) const {
    const json& at = manifest()["card"]["offsets"][name];
    return index < 0 ? at.get<std::uint64_t>() : at[index].get<std::uint64_t>();
  }
  FlashMachine card;
  std::string image;
  bool gzipped = false;
};

TEST_F(Classify, OnlyWhatAMountChangesIsSafe) {
  const std::uint64_t fat1 = offset("fats", 0), fat2 = offset("fats", 1), fs_info = offset("fsInfo");
  const std::uint64_t root = offset("rootDirectory"), boot = offset("bootSector");
  const struct {
    const char* name;
    std::vector<std::uint64_t> changed;  // drive bytes flipped
    bool safe;
    std::uint64_t metadata_bytes;
    std::optional<std::uint64_t> unsafe_at;
    const char* message;
  } cases[] = {
      {"identical", {}, true, 0, {}, "Only known FAT metadata sectors changed after the write (0 differing bytes)."},
      {"dirty bit of FAT 1", {fat1 + 7}, true, 1, {}, "Only known FAT metadata sectors changed after the write (1 differing byte)."},
      {"both FATs and FSInfo", {fat1 + 7, fat2 + 7, fs_info + 488, fs_info + 492}, true, 4, {}, nullptr},
      {"backup FSInfo", {boot + 7 * 512 + 490}, true, 1, {}, nullptr},
      // The rest of a FAT's first sector holds real cluster chains.
      {"root chain in FAT 1", {fat1 + 8}, false, 0, fat1 + 8, nullptr},
      {"FAT 2 media entry", {fat2 + 1}, false, 0, fat2 + 1, nullptr},
      {"root directory", {fs_info + 500, root + 11}, false, 1, root + 11,
       "The readback differs outside known FAT metadata sectors at byte offset 4855819."},
      {"boot sector", {boot + 13}, false, 0, boot + 13, nullptr},
      {"MBR", {446 + 4}, false, 0, 450, nullptr},
  };
  for (const auto& c : cases) {
    std::string drive = image;
    for (std::uint64_t at : c.changed) drive[at] = static_cast<char>(drive[at] ^ 0x5A);
    card.sim.write_file("card.img", drive);
    const json payload = classify(image.size())["payload"];
    EXPECT_EQ(classify_decompressed(image.size())["payload"], payload) << c.name;
    EXPECT_EQ(payload["safe"], c.safe) << c.name << payload.dump();
    EXPECT_EQ(payload["metadataDiffBytes"], c.metadata_bytes) << c.name;
    if (c.unsafe_at) EXPECT_EQ(payload["firstUnsafeOffset"], *c.unsafe_at) << c.name;
    if (c.message) EXPECT_EQ(payload["message"], c.message) << c.name;
  }
}

TEST_F(Classify, WindowsMountIsSafeAndRealCorruptionIsNot) {
  card.sim.write_machine(card.machine);
  auto platform = card.sim.platform();
  ASSERT_TRUE(sim::apply_mount_side_effects(platform.machine.drives.at(0), card.sim.path(), "test"));
  const json mounted = classify(image.size())["payload"];
  EXPECT_EQ(mounted["safe"], true) << mounted.dump();
  EXPECT_GT(mounted["metadataDiffBytes"].get<std::uint64_t>(), 0u);

  // The same card with one bad byte in a root directory entry's name.
  std::string drive = card.sim.read_file("card.img");
  const std::uint64_t name = offset("rootDirectory") + 3 * 32 + 1;
  drive[name] = static_cast<char>(drive[name] ^ 0x20);
  card.sim.write_file("card.img", drive);
  const json corrupt = classify(image.size())["payload"];
  EXPECT_EQ(corrupt["safe"], false);
  EXPECT_EQ(corrupt["firstUnsafeOffset"], name);
  EXPECT_EQ(corrupt["metadataDiffBytes"], mounted["metadataDiffBytes"]);
}

TEST_F(Classify, NoSoundBootPartitionNoClassification) {
  const json unable = {{"safe", false}, {"message", "Unable to locate known FAT metadata sectors in the prepared image."}};
  card.sim.write_file("nosig.img", slurp(CARD_IMAGES_DIR "/card-nosig.img"));
  std::string fat16 = image;
  fat16[offset("bootSector") + 36] = fat16[offset("bootSector") + 37] = 0;  // fatSize32 0
  fat16[offset("bootSector") + 38] = fat16[offset("bootSector") + 39] = 0;
  card.sim.write_file("fat16.img", fat16);
  const struct {
    const char* image;
    std::uint64_t total;
  } cases[] = {{"nosig.img", image.size()}, {"fat16.img", image.size()}, {"image.img", 0}, {"image.img", offset("bootSector")}};
  for (const auto& c : cases) {
    card.sim.write_file("events.log", "");
    EXPECT_EQ(classify(c.total, c.image)["payload"], unable) << c.image << " " << c.total;
    for (const json& event : card.sim.events()) EXPECT_NE(event.value("mode", ""), "exclusiveRead") << c.image;
  }
  // Ranges end at bytesTotal: only the first FAT's dirty bit is compared.
  std::string drive = image;
  drive[offset("fats", 0) + 7] ^= 1;
  drive[offset("fats", 1) + 9] ^= 1;
  card.sim.write_file("card.img", drive);
  EXPECT_EQ(classify(offset("fats", 1) + 8)["payload"]["metadataDiffBytes"], 1);

  const json short_image = card.response("classify_mismatch",
                                         card.target({{"imagePath", card.sim.file("short.img")}, {"bytesTotal", 1}}));
  EXPECT_EQ(short_image["errorCode"], "UNKNOWN");
}


// A card that Windows mounts as soon as the write lets go of it: the
// readback differs in the FAT metadata the mount rewrote, and write_image
// judges the difference itself, by classify_mismatch's rule. verify_boot
// told so passes the image row; told nothing, it fails it.
TEST_F(Classify, AWriteJudgesItsOwnDifferenceForTheBootCheck) {
  card.sim.write_file("card.img", std::string(image.size(), '\0'));
  const json written = card.response("write_image", card.target({{"imagePath", card.sim.file("image.img")}}));
  ASSERT_EQ(written["ok"], true) << written.dump();
  const json& payload = written["payload"];
  EXPECT_EQ(payload["verifyAttempts"], 2);
  EXPECT_NE(payload["observedSha256"], payload["sourceSha256"]);
  const json& judged = payload["readbackClass"];
  EXPECT_EQ(judged["safe"], true) << judged.dump();
  EXPECT_GT(judged["metadataDiffBytes"].get<std::uint64_t>(), 0u);
  // classify_mismatch gives the same verdict, with VERIFY lines as it reads.
  const auto lines = card.run("classify_mismatch",
                              card.target({{"imagePath", card.sim.file("image.img")}, {"bytesTotal", image.size()}}));
  EXPECT_EQ(lines.back()["payload"], judged);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(testing::stages(lines), std::vector<std::string>(lines.size() - 1, "VERIFY Comparing the target with the image"));
  EXPECT_EQ(lines.front()["bytesProcessed"], 0);
  EXPECT_EQ(lines[lines.size() - 2]["bytesProcessed"], image.size());

  for (const bool told : {true, false}) {
    const json boot = card.response("verify_boot", card.target({{"expectedSha256", payload["sourceSha256"]},
                                                                {"observedSha256", payload["observedSha256"]},
                                                                {"verifiedBytes", payload["verifiedBytes"]},
                                                                {"mountSideEffectsOnly", told}}));
    const json& row = boot["payload"]["report"]["checks"][0];
    EXPECT_EQ(row["status"], told ? "passed" : "failed") << row.dump();
    EXPECT_EQ(boot["payload"]["report"]["success"], told);
  }
  // A card that reads back whole has no verdict to give.
  card.machine["drives"][0]["mountSideEffects"] = false;
  card.sim.write_file("card.img", std::string(image.size(), '\0'));
  const json plain = card.response("write_image", card.target({{"imagePath", card.sim.file("image.img")}}));
  EXPECT_EQ(plain["payload"]["verifyAttempts"], 1);
  EXPECT_TRUE(plain["payload"]["readbackClass"].is_null());
}

}  // namespace
}  // namespace wh
