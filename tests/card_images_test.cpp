// The card images of tests/cards/make_cards.sh against their manifest: the
// facts the reader and flash tests rely on are where cards.json says, and
// each corrupt variant differs from card.img exactly where it should.
#include <cstdint>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace wh {
namespace {

using nlohmann::json;

std::string read_card_file(const std::string& name) {
  std::ifstream in(std::string(CARD_IMAGES_DIR) + "/" + name, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

const json& manifest() {
  static const json parsed = json::parse(read_card_file("cards.json"));
  return parsed;
}

std::uint64_t le(const std::string& bytes, std::uint64_t at, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes.at(at + i));
  return value;
}

std::string le32(std::uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

// "CONFIG.TXT" -> "CONFIG  TXT", as a directory entry holds it.
std::string raw_short_name(const std::string& name) {
  const auto dot = name.find('.');
  std::string base = name.substr(0, dot);
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  base.resize(8, ' ');
  ext.resize(3, ' ');
  return base + ext;
}

TEST(CardImages, ManifestFactsAreInTheBytes) {
  const json& card = manifest()["card"];
  const std::string image = read_card_file("card.img");
  ASSERT_EQ(image.size(), manifest()["images"]["card"]["size"].get<std::uint64_t>());
  EXPECT_EQ(le(image, 510, 2), 0xAA55u);
  for (const json& partition : card["mbr"]["partitions"]) {
    const std::uint64_t entry = 446 + 16 * (partition["slot"].get<std::uint64_t>() - 1);
    EXPECT_EQ(le(image, entry + 4, 1), partition["type"]);
    EXPECT_EQ(le(image, entry + 8, 4), partition["startLba"]);
    EXPECT_EQ(le(image, entry + 12, 4), partition["sectorCount"]);
  }
  EXPECT_EQ(card["mbr"]["partitions"][0]["type"], 0x0C);

  const std::uint64_t boot = card["offsets"]["bootSector"];
  EXPECT_EQ(boot, 512 * card["mbr"]["partitions"][0]["startLba"].get<std::uint64_t>());
  EXPECT_EQ(le(image, boot + 510, 2), 0xAA55u);
  EXPECT_EQ(image.substr(boot + 82, 8), "FAT32   ");
  const std::pair<const char*, std::pair<int, int>> fields[] = {
      {"bytesPerSector", {11, 2}}, {"sectorsPerCluster", {13, 1}}, {"reservedSectors", {14, 2}},
      {"numberOfFats", {16, 1}},   {"fatSize32", {36, 4}},         {"rootCluster", {44, 4}},
      {"fsInfoSector", {48, 2}},   {"backupBootSector", {50, 2}}};
  for (const auto& [field, place] : fields) {
    EXPECT_EQ(le(image, boot + place.first, place.second), card["bootSector"][field]) << field;
  }
  EXPECT_EQ(image.substr(card["offsets"]["fsInfo"], 4), "RRaA");
  EXPECT_EQ(image.substr(card["offsets"]["backupBootSector"], 512), image.substr(boot, 512));

  // The root chain ends in the first FAT; every entry sits at its slot.
  const std::uint64_t fat = card["offsets"]["fats"][0];
  EXPECT_GE(le(image, fat + 4 * card["rootChain"].back().get<std::uint64_t>(), 4) & 0x0FFFFFFF, 0x0FFFFFF8u);
  const std::uint64_t cluster_bytes = card["clusterBytes"];
  for (const json& entry : card["rootEntries"]) {
    const std::uint64_t slot = 32 * entry["index"].get<std::uint64_t>();
    const std::uint64_t at = card["rootChainOffsets"][slot / cluster_bytes].get<std::uint64_t>() + slot % cluster_bytes;
    EXPECT_EQ(image.substr(at, 11), raw_short_name(entry["shortName"]));
    EXPECT_EQ(le(image, at + 11, 1), entry["attributes"]);
  }
}

TEST(CardImages, CorruptVariantsDifferOnlyWhereTheyShould) {
  const json& card = manifest()["card"];
  const std::string image = read_card_file("card.img");
  const auto root = card["rootChain"].front().get<std::uint32_t>();
  const auto last = card["rootChain"].back().get<std::uint64_t>();
  std::vector<std::pair<std::uint64_t, std::string>> loop, huge;
  for (const json& fat : card["offsets"]["fats"]) {
    loop.emplace_back(fat.get<std::uint64_t>() + 4 * last, le32(root));
    huge.emplace_back(fat.get<std::uint64_t>() + 4 * root, le32(0x0FFFFFF0));
  }
  const std::pair<const char*, std::vector<std::pair<std::uint64_t, std::string>>> variants[] = {
      {"nosig", {{510, std::string(2, '\0')}}}, {"fatloop", loop}, {"hugecluster", huge}};
  for (const auto& [role, patches] : variants) {
    SCOPED_TRACE(role);
    const json& described = manifest()["images"][role];
    std::string variant = read_card_file(described["file"]);
    ASSERT_EQ(variant.size(), image.size());
    ASSERT_EQ(described["patches"].size(), patches.size());
    for (const auto& [at, bytes] : patches) {
      EXPECT_EQ(variant.substr(at, bytes.size()), bytes);
      EXPECT_NE(image.substr(at, bytes.size()), bytes);
      variant.replace(at, bytes.size(), image, at, bytes.size());
    }
    EXPECT_TRUE(variant == image) << "bytes differ beyond the patches";
  }

  // The short card keeps the boot sector and FSInfo but ends before the FATs.
  const std::string short_card = read_card_file(manifest()["images"]["short"]["file"]);
  EXPECT_EQ(short_card.size(), manifest()["images"]["short"]["size"].get<std::uint64_t>());
  EXPECT_GE(short_card.size(), card["offsets"]["fsInfo"].get<std::uint64_t>() + 512);
  EXPECT_LT(short_card.size(), card["offsets"]["fats"][0].get<std::uint64_t>());
  EXPECT_EQ(short_card, image.substr(0, short_card.size()));
}

}  // namespace
}  // namespace wh
