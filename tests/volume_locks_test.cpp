// Taking the target's volumes out of use on the simulated Windows: which
// volumes are touched, lock storms and forced dismounts, and that every
// failure leaves no volume locked behind.
#include <gtest/gtest.h>

#include "platform/sim/sim_errors.h"
#include "sim_dir.h"
#include "target/volume_locks.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::SimDir;

constexpr std::uint64_t kCardSize = 1 << 20;
const std::string kA = "\\\\?\\Volume{aaaaaaaa-0000-0000-0000-000000000001}";  // on the card
const std::string kB = "\\\\?\\Volume{bbbbbbbb-0000-0000-0000-000000000002}";  // on another disk
const std::string kC = "\\\\?\\Volume{cccccccc-0000-0000-0000-000000000003}";  // spans both
const std::string kD = "\\\\?\\Volume{dddddddd-0000-0000-0000-000000000004}";  // on the card
const std::string kCloseOthers = ". Close File Explorer windows and other programs using this target, then try again.";

std::string text(std::uint32_t code) { return sim::win32_error(code).text(); }

class VolumeLocks : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write_file("card.img", std::string(kCardSize, '\0'));
    dir.write_file("usb.img", std::string(kCardSize, '\0'));
    const auto volume = [](const std::string& name, json extents) {
      return json{{"name", name + "\\"}, {"extents", extents}};
    };
    machine = {{"elevated", true},
               {"sleepScale", 0},
               {"drives",
                {{{"number", 1}, {"backingFile", "card.img"}, {"serial", "SD-1"}, {"busType", 12}},
                 {{"number", 2}, {"backingFile", "usb.img"}, {"serial", "U-2"}, {"busType", 7}}}},
               {"volumes",
                {volume(kA, {{{"disk", 1}, {"startingOffset", 4096}, {"length", 4096}}}),
                 volume(kB, {{{"disk", 2}, {"startingOffset", 4096}, {"length", 4096}}}),
                 volume(kC, {{{"disk", 1}, {"startingOffset", 65536}, {"length", 4096}},
                             {{"disk", 2}, {"startingOffset", 65536}, {"length", 4096}}}),
                 volume(kD, {{{"disk", 1}, {"startingOffset", 131072}, {"length", 4096}}})}}};
  }
  sim::SimPlatform platform() {
    dir.write_machine(machine);
    return dir.platform();
  }
  void fault(json f) { machine["faults"].push_back(std::move(f)); }
  // Volume C spans the target and disk 1: raw access is refused while it is there.
  void drop_spanning_volume() { machine["volumes"].erase(2); }
  // The lock and dismount events, with the volume names shortened to their letter.
  static std::vector<std::string> events(const sim::SimPlatform& p) {
    std::vector<std::string> out;
    for (std::string event : p.state.events) {
      for (const std::string* name : {&kA, &kB, &kC, &kD}) {
        const std::size_t at = event.find(*name);
        if (at != std::string::npos) event = event.substr(0, at) + std::string(1, (*name)[11] - 'a' + 'A');
      }
      out.push_back(event);
    }
    return out;
  }
  static bool none_locked(sim::SimPlatform& p) {
    for (const auto& [name, use] : p.state.volume_use) {
      if (use.locked_by != nullptr) return false;
    }
    return true;
  }
  const TargetIdentity card{"sd-1", kCardSize, 1};
  SimDir dir;
  json machine;
};

TEST_F(VolumeLocks, LocksAndDismountsOnlyTheVolumesWhollyOnTheTarget) {
  {
    auto refused = platform();
    auto locks = acquire_volume_locks(refused, card);
    ASSERT_FALSE(locks.ok());
    EXPECT_EQ(locks.error(), "Volume " + kC + "\\ lies on the target and on another disk, so it cannot be taken "
                             "out of use; no volume was locked and nothing was written.");
    EXPECT_EQ(events(refused), std::vector<std::string>{});
  }
  drop_spanning_volume();
  auto p = platform();
  auto locks = acquire_volume_locks(p, card);
  ASSERT_TRUE(locks.ok()) << locks.error();
  EXPECT_EQ(locks->size(), 2u);
  EXPECT_EQ(events(p), (std::vector<std::string>{"lock A", "dismount A", "lock D", "dismount D"}));
  locks->release();
  EXPECT_EQ(events(p).back(), "unlock D");
  EXPECT_TRUE(none_locked(p));
}

TEST_F(VolumeLocks, ACardWithoutVolumesNeedsNoLocks) {
  machine["volumes"] = json::array();
  auto p = platform();
  auto locks = acquire_volume_locks(p, card);
  ASSERT_TRUE(locks.ok());
  EXPECT_EQ(locks->size(), 0u);
}

TEST_F(VolumeLocks, FailuresNameTheVolumeAndLeaveNothingLocked) {
  const struct {
    const char* what;
    std::vector<json> faults;
    std::string message;  // empty: locked
    std::vector<std::string> events;
  } cases[] = {
      {"a lock storm of 5 that ends inside the window",
       {{{"operation", "lock"}, {"path", kA}, {"error", 5}, {"count", 8}}},
       "",
       {"lock A", "dismount A", "lock D", "dismount D", "unlock A", "unlock D"}},
      {"a lock storm of 32 that ends after a forced dismount",
       {{{"operation", "lock"}, {"path", kA}, {"error", 32}, {"count", 25}}},
       "",
       {"dismount A", "lock A", "lock D", "dismount D", "unlock A", "unlock D"}},
      {"a lock storm that never ends",
       {{{"operation", "lock"}, {"path", kA}, {"error", 32}}},
       "Unable to lock mounted volume " + kA + "\\ after force-dismount: initial lock failed with " + text(32) +
           "; lock retry failed with " + text(32) + kCloseOthers,
       {"dismount A"}},
      {"a lock failing with another code",
       {{{"operation", "lock"}, {"path", kA}, {"error", 1}}},
       "Unable to lock mounted volume " + kA + "\\: " + text(1) + kCloseOthers,
       {}},
      {"a forced dismount that fails",
       {{{"operation", "lock"}, {"path", kA}, {"error", 5}}, {{"operation", "dismount"}, {"path", kA}, {"error", 5}}},
       "Unable to lock or force-dismount mounted volume " + kA + "\\: lock failed with " + text(5) +
           "; force dismount failed with " + text(5) + kCloseOthers,
       {}},
      {"a dismount after the lock that fails",
       {{{"operation", "dismount"}, {"path", kD}, {"error", 31}}},
       "Unable to dismount mounted volume " + kD + "\\: " + text(31),
       {"lock A", "dismount A", "lock D", "unlock D", "unlock A"}},
      {"the second volume that cannot be locked",
       {{{"operation", "lock"}, {"path", kD}, {"error", 87}}},
       "Unable to lock mounted volume " + kD + "\\: " + text(87) + kCloseOthers,
       {"lock A", "dismount A", "unlock A"}},
      {"a volume that cannot be opened for writing",
       {{{"operation", "open"}, {"path", kA}, {"mode", "volumeReadWrite"}, {"error", 32}}},
       "Unable to open mounted volume " + kA + "\\: " + text(32),
       {}},
      {"a volume that left the disk after it was found",
       {{{"operation", "extents"}, {"path", kA}, {"skip", 1}, {"error", 1}}},
       "Reopened volume no longer belongs to the selected target.",
       {}},
      {"a volume enumeration that fails",
       {{{"operation", "listVolumes"}, {"error", 21}}},
       "Unable to enumerate mounted volumes: " + text(21),
       {}},
      {"the card pulled while waiting for a lock",
       {{{"operation", "lock"}, {"path", kA}, {"error", 32}},
        {{"operation", "disappear"}, {"path", "\\\\.\\PhysicalDrive1"}, {"afterOpens", 6}}},
       "Could not revalidate the selected removable target before a volume operation.",
       {}},
  };
  for (const auto& c : cases) {
    SetUp();
    drop_spanning_volume();
    for (const json& f : c.faults) fault(f);
    auto p = platform();
    {
      auto locks = acquire_volume_locks(p, card);
      EXPECT_EQ(locks.ok() ? std::string() : locks.error(), c.message) << c.what;
    }
    EXPECT_EQ(events(p), c.events) << c.what;
    EXPECT_TRUE(none_locked(p)) << c.what;
  }
}

TEST_F(VolumeLocks, PrepareTargetReportsUnmountFailures) {
  fault({{"operation", "lock"}, {"path", kA}, {"error", 1}});
  auto p = platform();
  const json payload = {{"expectedIdentity", {{"physicalDriveNumber", "PhysicalDrive1"}, {"sizeBytes", kCardSize}}}};
  auto prepared = prepare_target(p, payload, "\\\\.\\PhysicalDrive1", "sector inspection");
  EXPECT_EQ(prepared.error().code, ErrorCode::kUnmountFailed);
  auto unparsed = prepare_target(p, payload, "E:", "sector inspection");
  EXPECT_EQ(unparsed.error().code, ErrorCode::kDeviceNotRemovable);
  EXPECT_EQ(unparsed.error().message,
            "Unable to parse physical target identity from E:; sector inspection was not started.");
}

TEST_F(VolumeLocks, DetachDismountsWhatItCanAndWarnsOfTheRest) {
  const std::string stayed = ". Close File Explorer windows and other programs using this target, then remove it.";
  const struct {
    const char* what;
    std::vector<json> faults;
    std::vector<std::string> warnings;
    std::string fatal;
  } cases[] = {
      {"every volume dismounts", {}, {}, ""},
      {"a dismount that works once locked", {{{"operation", "dismount"}, {"path", kA}, {"error", 5}, {"count", 1}}}, {}, ""},
      {"a volume that stays mounted",
       {{{"operation", "dismount"}, {"path", kD}, {"error", 5}}},
       {"Could not dismount mounted volume " + kD + "\\" + stayed},
       ""},
      {"a volume held with another code",
       {{{"operation", "dismount"}, {"path", kA}, {"error", 5}}, {{"operation", "lock"}, {"path", kA}, {"error", 1}}},
       {"Could not dismount mounted volume " + kA + "\\" + stayed},
       ""},
      {"a volume that cannot be opened for writing",
       {{{"operation", "open"}, {"path", kD}, {"mode", "volumeReadWrite"}, {"error", 5}}},
       {"Could not open mounted volume " + kD + "\\ for dismount."},
       ""},
      {"a volume list that cannot be read",
       {{{"operation", "listVolumes"}, {"error", 21}}},
       {"Unable to enumerate mounted volumes: " + text(21)},
       ""},
      {"the card gone", {{{"operation", "disappear"}, {"path", "\\\\.\\PhysicalDrive1"}}}, {},
       "Could not revalidate the selected removable target before a volume operation."},
  };
  for (const auto& c : cases) {
    SetUp();
    for (const json& f : c.faults) fault(f);
    auto p = platform();
    auto warnings = dismount_target_volumes(p, card);
    EXPECT_EQ(warnings.ok() ? std::string() : warnings.error(), c.fatal) << c.what;
    if (warnings) EXPECT_EQ(*warnings, c.warnings) << c.what;
    EXPECT_TRUE(none_locked(p)) << c.what;
  }
}

TEST_F(VolumeLocks, ABootVolumeMustLieOnTheTargetAlone) {
  auto p = platform();
  const std::string prefix = "Could not validate the boot volume GUID path: ";
  const std::string shape = "Boot partition 1 has no valid volume GUID path; customization was not started.";
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {kA + "\\", ""},
      {kA, shape},  // without its backslash
      {"\\\\?\\Volume{aaaaaaaa-0000-0000-0000-00000000000g}\\", shape},
      {"\\\\?\\Volume{aaaaaaaa00000-0000-0000-000000000001}\\", shape},
      {"\\\\.\\Volume{aaaaaaaa-0000-0000-0000-000000000001}\\", shape},
      {kB + "\\", prefix + "Validated boot volume no longer belongs solely to the selected target."},
      {kC + "\\", prefix + "Validated boot volume no longer belongs solely to the selected target."},
      {"\\\\?\\Volume{eeeeeeee-0000-0000-0000-000000000005}\\",
       prefix + "Unable to open selected boot volume by its GUID path: " + text(2)},
  };
  for (const auto& c : cases) {
    auto proven = prove_boot_volume(p, card, c.path);
    EXPECT_EQ(proven.ok() ? std::string() : proven.error().message, c.message) << c.path;
  }
  EXPECT_TRUE(none_locked(p));
}

}  // namespace
}  // namespace wh
