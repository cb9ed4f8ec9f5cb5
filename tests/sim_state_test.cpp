// The simulated machine keeps one state across processes: what a platform
// changes is in machine.json for the next one, what another process changed
// is seen after it ran, and every process appends what it did to events.log.
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_machine_file.h"
#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::raw_write_code;
using testing::SimDir;

constexpr std::uint64_t kKiB = 1024;
const std::string kDrive = "\\\\.\\PhysicalDrive1";
const std::string kVolume = "\\\\?\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}";

std::uint32_t code_of(const OsStatus& status) { return status ? 0 : status.error().code; }

// A 1 MiB card whose one volume covers bytes 512 KiB to 768 KiB.
class SimState : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write_file("card.img", std::string(1024 * kKiB, '\0'));
    machine = {{"elevated", true},
               {"drives", {{{"number", 1}, {"backingFile", "card.img"}, {"serial", "AA11"}}}},
               {"volumes",
                {{{"name", kVolume + "\\"},
                  {"letters", {"E"}},
                  {"extents", {{{"disk", 1}, {"startingOffset", 512 * kKiB}, {"length", 256 * kKiB}}}}}}}};
  }
  sim::SimPlatform platform() {
    dir.write_machine(machine);
    return dir.platform();
  }
  SimDir dir;
  json machine;
};

TEST_F(SimState, EveryMemberSurvivesAWriteAndARead) {
  machine["drives"][0].update({{"sizeBytes", 2048 * kKiB}, {"vendor", "Generic"}, {"product", "SD"},
                               {"busType", 12}, {"removableMedia", false}, {"readOnly", true},
                               {"descriptorHex", "28000000"}, {"isSystem", true}, {"isBoot", true},
                               {"offline", true}, {"partitionStyle", "GPT"}, {"noMedium", true},
                               {"getDisk", {{"FriendlyName", "Other"}}}, {"writeProtectSwitch", true},
                               {"mountSideEffects", false}});
  machine["volumes"][0].update({{"directory", "boot"}, {"mounted", false}, {"fileSystem", "exFAT"}, {"serialNumber", 305441741},
                                {"heldBy", {{"error", 5}, {"until", "never"}}}});
  machine["faults"] = {{{"operation", "swap"}, {"path", kDrive}, {"afterOpens", 2}, {"serial", "BB22"},
                        {"sizeBytes", 4096}, {"backingFile", "other.img"}, {"error", 31}},
                       {{"operation", "read"}, {"afterBytes", 10}, {"count", 2}, {"error", 23}},
                       {{"operation", "write"}, {"maxBytesPerCall", 0}, {"mode", "exclusiveWrite"}, {"error", 31}},
                       {{"operation", "read"}, {"interrupted", true}, {"skip", 1}, {"error", 995}},
                       {{"operation", "corrupt"}, {"path", kDrive}, {"offset", 1022}, {"bytesHex", "deadbeef"},
                        {"count", 1}, {"error", 31}}};
  machine["fileAttributes"] = {{"hidden.img", {"hidden", "system"}}};
  machine["powershell"] = {{"responses", json::array()}};
  machine["sleepScale"] = 0.5;
  machine["msPerMiB"] = 12.5;
  auto p = platform();
  p.save();
  const json written = dir.machine();
  // Relative paths stay relative; nothing is lost or invented.
  EXPECT_EQ(written["drives"][0]["backingFile"], "card.img");
  EXPECT_EQ(written["faults"][0]["backingFile"], "other.img");
  EXPECT_EQ(written["volumes"][0]["directory"], "boot");
  for (const char* part : {"drives", "volumes", "faults", "fileAttributes", "powershell"}) {
    EXPECT_EQ(written[part], machine[part]) << part;
  }
  EXPECT_EQ(written["sleepScale"], 0.5);
  EXPECT_EQ(written["msPerMiB"], 12.5);
}

TEST_F(SimState, ADismountLastsIntoTheNextProcess) {
  {
    auto first = platform();
    auto volume = std::move(first.open_volume(kVolume, VolumeAccess::kReadWrite)).value();
    ASSERT_EQ(code_of(volume->dismount_volume()), 0u);
  }
  EXPECT_EQ(dir.machine()["volumes"][0]["mounted"], false);
  // A later process writes into the dismounted volume without a lock.
  auto next = dir.platform();
  auto drive = std::move(next.open_drive_exclusive_write(kDrive)).value();
  EXPECT_EQ(raw_write_code(*drive, 600 * kKiB), 0u);
}

TEST_F(SimState, AMachineWithoutDirectoryWritesNothing) {
  auto loaded = sim::machine_from_json(machine, "");
  ASSERT_TRUE(loaded.ok());
  loaded->drives[0].backing_file = dir.file("card.img");
  sim::SimPlatform p{std::move(loaded).value()};
  auto volume = std::move(p.open_volume(kVolume, VolumeAccess::kReadWrite)).value();
  ASSERT_EQ(code_of(volume->dismount_volume()), 0u);
  ASSERT_TRUE(p.open_drive_for_query(kDrive).ok());
  EXPECT_FALSE(p.file_exists(dir.file("machine.json")));
  EXPECT_FALSE(p.file_exists(dir.file("events.log")));
  EXPECT_FALSE(p.file_exists("machine.json"));
  EXPECT_FALSE(p.file_exists("events.log"));
}

TEST_F(SimState, WhatAnotherProcessChangedIsSeenAfterItRan) {
  json offline = machine;
  offline["drives"][0]["offline"] = true;
  offline["drives"][0]["serial"] = "CC33";
  dir.write_file("next.json", offline.dump());
  dir.install_powershell_script("cp \"$(dirname \"$0\")/next.json\" \"$(dirname \"$0\")/machine.json\"");
  auto p = platform();
  // Handles opened before the machine is read again stay usable.
  auto volume = std::move(p.open_volume(kVolume, VolumeAccess::kRead)).value();
  auto query = std::move(p.open_drive_for_query(kDrive)).value();
  EXPECT_EQ(p.list_volumes()->size(), 1u);
  ASSERT_TRUE(p.run_process(std::string(kPowerShellPath), {"-Command", "x"}).ok());
  // The disk is offline now: its volume is gone from the volume manager,
  // raw writes into its sectors go through, and the card is another one.
  EXPECT_TRUE(p.list_volumes()->empty());
  EXPECT_EQ(p.open_volume(kVolume, VolumeAccess::kRead).error().code, 2u);
  EXPECT_EQ(volume->volume_disk_extents().error().code, 1167u);
  EXPECT_EQ(query->disk_length().error().code, 1110u);  // the serial changed under it
  query.reset();
  auto drive = std::move(p.open_drive_exclusive_write(kDrive)).value();
  EXPECT_EQ(raw_write_code(*drive, 600 * kKiB), 0u);
}

TEST_F(SimState, ASwappedCardIsAnotherCardFromThenOn) {
  dir.write_file("other.img", std::string(64 * kKiB, 'o'));
  machine["faults"] = {{{"operation", "swap"}, {"path", kDrive}, {"afterOpens", 1}, {"serial", "BB22"},
                        {"backingFile", "other.img"}}};
  auto p = platform();
  auto before = std::move(p.open_drive_for_query(kDrive)).value();
  EXPECT_EQ(*before->disk_length(), 1024 * kKiB);
  auto after = std::move(p.open_drive_for_query(kDrive)).value();
  EXPECT_EQ(*after->disk_length(), 64 * kKiB);
  const Bytes descriptor = *after->storage_descriptor();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(descriptor.data()) + descriptor[24]), "BB22");
  // The handle of the first card sees the media change.
  EXPECT_EQ(before->disk_length().error().text(), "The media in the drive may have changed. (os error 1110)");
  testing::AlignedBytes buffer(16);
  EXPECT_EQ(before->read(buffer).error().code, 1110u);
  // The swap is the machine's state now, and happens once.
  const json written = dir.machine();
  EXPECT_EQ(written["drives"][0]["serial"], "BB22");
  EXPECT_EQ(written["drives"][0]["backingFile"], "other.img");
  EXPECT_TRUE(written["faults"].empty());
  auto next = dir.platform();
  EXPECT_EQ(*std::move(next.open_drive_for_query(kDrive)).value()->disk_length(), 64 * kKiB);
}

TEST_F(SimState, AReaderWithoutCardIsNotReady) {
  machine["drives"][0]["noMedium"] = true;
  auto p = platform();
  auto drive = p.open_drive_exclusive_write(kDrive);
  ASSERT_TRUE(drive.ok());
  EXPECT_EQ((*drive)->disk_length().error().text(), "The device is not ready. (os error 21)");
  testing::AlignedBytes buffer(512);
  EXPECT_EQ((*drive)->read(buffer).error().code, 21u);
  EXPECT_EQ((*drive)->write(buffer).error().code, 21u);
  EXPECT_TRUE((*drive)->storage_descriptor().ok());  // the reader still answers
}

TEST_F(SimState, OtherProgramsHoldingAVolumeKeepTheLockAway) {
  const struct {
    int error;
    const char* until;
    std::uint32_t after_force_dismount;  // the next lock's code
  } cases[] = {{32, "forceDismount", 0}, {5, "forceDismount", 0}, {32, "never", 32}, {5, "never", 5}};
  for (const auto& c : cases) {
    machine["volumes"][0]["heldBy"] = {{"error", c.error}, {"until", c.until}};
    auto p = platform();
    auto volume = std::move(p.open_volume(kVolume, VolumeAccess::kReadWrite)).value();
    EXPECT_EQ(code_of(volume->lock_volume()), static_cast<std::uint32_t>(c.error)) << c.until;
    EXPECT_EQ(code_of(volume->dismount_volume()), 0u);
    EXPECT_EQ(code_of(volume->lock_volume()), c.after_force_dismount) << c.until;
    EXPECT_EQ(dir.machine()["volumes"][0].contains("heldBy"), c.after_force_dismount != 0) << c.until;
  }
}

TEST_F(SimState, EveryProcessLogsWhatItDidInOrder) {
  dir.write_file("image.bin", "abc");
  auto p = platform();
  {
    auto volume = std::move(p.open_volume(kVolume, VolumeAccess::kReadWrite)).value();
    ASSERT_EQ(code_of(volume->lock_volume()), 0u);
    ASSERT_EQ(code_of(volume->dismount_volume()), 0u);
    auto drive = std::move(p.open_drive_exclusive_write(kDrive)).value();
    ASSERT_EQ(raw_write_code(*drive, 4 * kKiB), 0u);
    EXPECT_EQ(raw_write_code(*drive, 2048 * kKiB), 27u);  // past the end
    auto file = std::move(p.open_file_read(dir.file("image.bin"))).value();
    testing::AlignedBytes buffer(8);
    ASSERT_EQ(*file->read(buffer), 3u);
  }
  const std::string image = dir.file("image.bin");
  const std::vector<json> expected = {
      {{"op", "open"}, {"path", kVolume}, {"mode", "volumeReadWrite"}},
      {{"op", "lock"}, {"path", kVolume}},
      {{"op", "dismount"}, {"path", kVolume}},
      {{"op", "open"}, {"path", kDrive}, {"mode", "exclusiveWrite"}},
      {{"op", "write"}, {"path", kDrive}, {"offset", 4 * kKiB}, {"bytes", kKiB}},
      {{"op", "write"}, {"path", kDrive}, {"offset", 2048 * kKiB}, {"bytes", kKiB}, {"error", 27}},
      {{"op", "open"}, {"path", image}, {"mode", "fileRead"}},
      {{"op", "read"}, {"path", image}, {"offset", 0}, {"bytes", 3}},
      // Handles close in reverse order; the volume's lock goes with its handle.
      {{"op", "close"}, {"path", image}},
      {{"op", "close"}, {"path", kDrive}},
      {{"op", "unlock"}, {"path", kVolume}},
      {{"op", "close"}, {"path", kVolume}},
  };
  std::vector<json> events = dir.events();
  ASSERT_EQ(events.size(), expected.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i]["process"], ::getpid()) << i;
    events[i].erase("process");
    EXPECT_EQ(events[i], expected[i]) << i;
  }
}

}  // namespace
}  // namespace wh
