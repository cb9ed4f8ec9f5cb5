// Windows' mount of a freshly written FAT32 card changes its bytes: FAT
// entry 1 loses its clean-shutdown bit in every FAT copy and the FSInfo
// sector gets fastfat's free-cluster count and hint. The simulation does it
// when the stand-in brings a disk online and when a rewritten online disk is
// let go of.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include <gtest/gtest.h>

#include "disk_script_texts.h"
#include "helper_crowd.h"
#include "platform/sim/sim_mount.h"
#include "platform/sim/sim_machine_file.h"
#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::SimDir;

const std::string kDrive = "\\\\.\\PhysicalDrive1";
const std::string kVolume = "\\\\?\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}";
constexpr std::size_t kCard = 128 * 1024;
constexpr std::size_t kBoot = 8 * 512;  // the FAT32 partition's offset
constexpr std::size_t kFsInfo = kBoot + 512;
constexpr std::size_t kFat0 = kBoot + 4 * 512;
constexpr std::size_t kFat1 = kFat0 + 512;

void put16(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 2; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
void put32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

// A card whose MBR holds a FAT32 partition (type 0x0C) at sector 8, then a
// Linux one: 4 reserved sectors with FSInfo in sector 1, two one-sector FATs
// and 100 one-sector clusters, of which clusters 2 to 5 are in use.
std::string fat32_card() {
  std::string card(kCard, '\0');
  card[446 + 4] = 0x0C;
  put32(card, 446 + 8, 8);
  put32(card, 446 + 12, 106);
  card[462 + 4] = static_cast<char>(0x83);
  put32(card, 462 + 8, 120);
  put32(card, 462 + 12, 100);
  card[510] = 0x55;
  card[511] = static_cast<char>(0xAA);
  put16(card, kBoot + 11, 512);
  card[kBoot + 13] = 1;  // sectors per cluster
  put16(card, kBoot + 14, 4);
  card[kBoot + 16] = 2;
  put32(card, kBoot + 32, 106);
  put32(card, kBoot + 36, 1);
  put32(card, kBoot + 44, 2);
  put16(card, kBoot + 48, 1);
  card[kBoot + 510] = 0x55;
  card[kBoot + 511] = static_cast<char>(0xAA);
  put32(card, kFsInfo, 0x41615252);
  put32(card, kFsInfo + 484, 0x61417272);
  put32(card, kFsInfo + 488, 0xFFFFFFFF);
  put32(card, kFsInfo + 492, 0xFFFFFFFF);
  put32(card, kFsInfo + 508, 0xAA550000);
  for (std::size_t fat : {kFat0, kFat1}) {
    const std::uint32_t entries[] = {0x0FFFFFF8, 0x0FFFFFFF, 0x0FFFFFFF, 4, 0x0FFFFFFF, 0x0FFFFFFF};
    for (std::size_t i = 0; i < 6; ++i) put32(card, fat + 4 * i, entries[i]);
  }
  return card;
}

// The card as Windows leaves it after the mount.
std::string mounted(std::string card, bool fs_info = true) {
  put32(card, kFat0 + 4, 0x07FFFFFF);
  put32(card, kFat1 + 4, 0x07FFFFFF);
  if (fs_info) {
    put32(card, kFsInfo + 488, 96);
    put32(card, kFsInfo + 492, 6);
  }
  return card;
}

TEST(SimMount, ChangesOnlyWhatWindowsChanges) {
  const std::string card = fat32_card();
  std::string broken_info = card;
  put32(broken_info, kFsInfo + 484, 0);
  std::string no_mbr = card;
  no_mbr[510] = 0;
  std::string linux_only = card;
  linux_only[446 + 4] = static_cast<char>(0x83);
  std::string big_sectors = card;
  put16(big_sectors, kBoot + 11, 4096);
  std::string fat16 = card;
  put16(fat16, kBoot + 22, 1);
  const struct {
    const char* what;
    std::string before;
    json drive;  // members besides number and backing file
    std::string after;
  } cases[] = {
      {"a FAT32 card", card, json::object(), mounted(card)},
      {"an FSInfo sector with a wrong signature", broken_info, json::object(), mounted(broken_info, false)},
      {"no MBR signature", no_mbr, json::object(), no_mbr},
      {"no FAT partition", linux_only, json::object(), linux_only},
      {"4096-byte sectors", big_sectors, json::object(), big_sectors},
      {"a FAT16 boot sector", fat16, json::object(), fat16},
      {"side effects turned off", card, {{"mountSideEffects", false}}, card},
      {"a read-only card", card, {{"readOnly", true}}, card},
  };
  for (const auto& c : cases) {
    SimDir dir;
    dir.write_file("card.img", c.before);
    json drive = {{"number", 1}, {"backingFile", "card.img"}};
    drive.update(c.drive);
    auto machine = sim::machine_from_json({{"drives", {drive}}}, dir.path());
    ASSERT_TRUE(machine.ok()) << c.what;
    const auto effect = sim::apply_mount_side_effects(machine->drives[0], dir.path(), "online");
    EXPECT_EQ(effect.has_value(), c.after != c.before) << c.what;
    EXPECT_TRUE(dir.read_file("card.img") == c.after) << c.what;
  }
}

// A card online in drive 1 whose FAT32 partition is a mounted volume.
class SimMountMoments : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write_file("card.img", fat32_card());
    machine = {{"elevated", true},
               {"drives", {{{"number", 1}, {"backingFile", "card.img"}}}},
               {"volumes", {{{"name", kVolume + "\\"},
                             {"extents", {{{"disk", 1}, {"startingOffset", kBoot}, {"length", 106 * 512}}}}}}}};
  }
  bool card_mounted() const { return dir.read_file("card.img") == mounted(fat32_card()); }
  SimDir dir;
  json machine;
};

TEST_F(SimMountMoments, ARewrittenOnlineDiskIsMountedOnceLetGo) {
  const struct {
    const char* what;
    bool offline;
    bool locked;  // a volume of the disk stays locked after the drive is closed
    bool after_drive_close;
    bool after_unlock;
    bool announced = true;  // IOCTL_DISK_UPDATE_PROPERTIES sent after the write
  } cases[] = {
      {"online", false, false, true, true},
      {"online, the volume still locked", false, true, false, true},
      {"offline", true, false, false, false},
      // Windows keeps its cached partition table: nothing is mounted anew.
      {"online, the new partition table never announced", false, false, false, false, false},
  };
  for (const auto& c : cases) {
    dir.write_file("card.img", fat32_card());
    machine["drives"][0]["offline"] = c.offline;
    dir.write_machine(machine);
    auto p = dir.platform();
    HandlePtr volume;
    if (!c.offline) {  // an offline disk's volumes are gone
      volume = std::move(p.open_volume(kVolume, VolumeAccess::kReadWrite)).value();
      ASSERT_TRUE(volume->lock_volume().ok());
    }
    {
      // The same zeros again, past the partitions.
      auto drive = std::move(p.open_drive_exclusive_write(kDrive)).value();
      ASSERT_TRUE(drive->seek(kCard - 512).ok());
      ASSERT_TRUE(drive->write(testing::AlignedBytes(512, 0)).ok()) << c.what;
      if (c.announced) ASSERT_TRUE(drive->update_disk_properties().ok()) << c.what;
      EXPECT_FALSE(card_mounted()) << c.what << ": mounted under the writer's handle";
      if (!c.locked) volume.reset();
    }
    EXPECT_EQ(card_mounted(), c.after_drive_close) << c.what;
    volume.reset();
    EXPECT_EQ(card_mounted(), c.after_unlock) << c.what;
  }
  // The first mount follows the drive's close in the event log.
  const std::vector<json> events = dir.events();
  const auto mount = std::find_if(events.begin(), events.end(), [](const json& e) { return e["op"] == "mountSideEffect"; });
  ASSERT_NE(mount, events.end());
  EXPECT_EQ((*mount)["cause"], "rescan");
  EXPECT_EQ((*(mount - 1))["op"], "close");
  EXPECT_EQ((*(mount - 1))["path"], kDrive);
}

TEST_F(SimMountMoments, FinalizeMountsTheCardItBringsOnline) {
  dir.install_fake_powershell();
  for (bool offline : {false, true}) {
    dir.write_file("card.img", fat32_card());
    machine["drives"][0]["offline"] = offline;
    dir.write_machine(machine);
    auto p = dir.platform();
    const std::string script = testing::stop_and_revalidate(1, kCard, testing::ps_quoted("finalization"), "$null") +
                               testing::kFinalizeTail;
    auto out = p.run_process(std::string(kPowerShellPath),
                             {"-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command", script});
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(out->exit_code, 0u) << out->standard_error;
    EXPECT_EQ(card_mounted(), offline) << offline;
  }
  std::vector<json> effects;
  for (json event : dir.events()) {
    if (event["op"] != "mountSideEffect") continue;
    event.erase("process");
    effects.push_back(event);
  }
  EXPECT_EQ(effects, (std::vector<json>{{{"op", "mountSideEffect"}, {"disk", 1}, {"cause", "online"},
                                         {"partitionOffset", kBoot}, {"fatCopies", 2}, {"freeClusters", 96},
                                         {"nextFreeCluster", 6}}}));
}


// Three helpers at once, each writing its own blank card: Windows mounts
// each new FAT volume and gives it a drive letter of its own. Every process
// changes machine.json under the machine's lock, on the file as it is then,
// so none undoes another's volume or takes its letter.
TEST(SimMountCrowd, ThreeCardsWrittenAtOnceGetThreeLetters) {
  SimDir dir;
  // The realistic card image: its boot partition is a FAT32 volume that
  // Windows mounts (the small one above has no files to mount).
  std::ifstream in(std::string(CARD_IMAGES_DIR) + "/card.img", std::ios::binary);
  const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(image.empty());
  dir.write_file("image.img", image);
  json machine = {{"elevated", true}, {"sleepScale", 0}, {"drives", json::array()}};
  std::vector<std::string> requests;
  for (int n = 1; n <= 3; ++n) {
    const std::string card = "card" + std::to_string(n) + ".img";
    const std::string path = "\\\\.\\PhysicalDrive" + std::to_string(n);
    dir.write_file(card, std::string(image.size(), '\0'));
    machine["drives"].push_back({{"number", n}, {"backingFile", card}, {"serial", "SD-" + std::to_string(n)},
                                 {"busType", 12}, {"removableMedia", true}});
    const json payload = {{"osDevicePath", path}, {"imagePath", dir.file("image.img")}, {"skipReadback", true},
                          {"expectedIdentity", {{"physicalDriveNumber", path}, {"sizeBytes", image.size()}}}};
    requests.push_back(json{{"id", std::to_string(n)}, {"sessionId", "crowd"}, {"command", "write_image"},
                            {"payload", payload}}
                           .dump());
  }
  dir.write_machine(machine);
  const testing::Crowd crowd = testing::run_crowd(dir, requests, std::chrono::seconds(60));
  ASSERT_EQ(crowd.failure, "");
  ASSERT_EQ(crowd.killed, 0);
  for (const testing::CrowdMember& member : crowd.members) {
    ASSERT_FALSE(member.lines.empty());
    EXPECT_EQ(member.lines.back()["ok"], true) << member.lines.back();
  }
  std::set<std::string> letters;
  std::set<int> disks;
  const json after = dir.machine();
  for (const json& volume : after["volumes"]) {
    disks.insert(volume["extents"][0]["disk"].get<int>());
    for (const json& letter : volume.value("letters", json::array())) letters.insert(letter.get<std::string>());
  }
  EXPECT_EQ(disks, (std::set<int>{1, 2, 3}));
  EXPECT_EQ(letters, (std::set<std::string>{"D", "E", "F"}));
}

}  // namespace
}  // namespace wh
