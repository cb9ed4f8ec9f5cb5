// Proving the target on the simulated Windows: every refusal of the expected
// identity, the live query behind it, and the proof through a raw handle.
#include <gtest/gtest.h>

#include "sim_dir.h"
#include "target/target_identity.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::SimDir;

constexpr std::uint64_t kCardSize = 1 << 20;

class TargetIdentityOnSim : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write_file("card.img", std::string(kCardSize, '\0'));
    dir.write_file("sata.img", std::string(kCardSize, '\0'));
    machine = {{"elevated", true},
               {"drives",
                {{{"number", 1}, {"backingFile", "card.img"}, {"serial", " SD-1234  "}, {"busType", 12},
                  {"removableMedia", false}},
                 {{"number", 2}, {"backingFile", "sata.img"}, {"serial", "S1"}, {"busType", 11},
                  {"removableMedia", false}},
                 {{"number", 3}, {"backingFile", "card.img"}, {"busType", 7}, {"readOnly", true}}}}};
  }
  static json identity(json drive = "\\\\.\\PhysicalDrive1", json size = kCardSize, json serial = "sd-1234") {
    json id = {{"physicalDriveNumber", drive}, {"sizeBytes", size}};
    if (!serial.is_null()) id["serial"] = serial;
    return id;
  }
  // The refusal message (led by its code when that is not
  // DEVICE_NOT_REMOVABLE), or "" when the identity is proven.
  std::string check(const json& payload, std::uint32_t path_number = 1) {
    dir.write_machine(machine);
    auto platform = dir.platform();
    auto proven = validate_expected_identity(platform, payload, path_number, "preparation");
    EXPECT_TRUE(platform.state.drive_use[path_number].handles == 0) << "the query handle was left open";
    if (proven) return "";
    const ErrorCode code = proven.error().code;
    return (code == ErrorCode::kDeviceNotRemovable ? "" : std::string(error_code_name(code)) + ": ") +
           proven.error().message;
  }
  SimDir dir;
  json machine;
};

TEST_F(TargetIdentityOnSim, RefusesEveryUnprovenTarget) {
  const std::string missing = "Missing expected immutable target identity; preparation was not started.";
  const std::string no_drive = "Expected physical drive identity is missing; preparation was not started.";
  const std::string bad_drive = "Expected physical drive identity is invalid; preparation was not started.";
  const std::string no_size = "Expected target capacity is missing; preparation was not started.";
  const std::string changed = "Target identity changed after preparation; preparation was not started.";
  const std::string serial = "Target serial changed after preparation; preparation was not started.";
  const std::string unproven = "Could not validate the selected removable target before preparation.";
  const struct {
    const char* what;
    json payload;
    std::uint32_t path_number;
    std::string message;
  } cases[] = {
      {"the card as listed", {{"expectedIdentity", identity()}}, 1, ""},
      {"serial written differently", {{"expectedIdentity", identity(json("\\\\.\\PhysicalDrive1"), json(kCardSize), json("  SD-1234"))}}, 1, ""},
      {"no serial expected", {{"expectedIdentity", identity(json("PhysicalDrive1"), json(kCardSize), json())}}, 1, ""},
      {"a placeholder serial", {{"expectedIdentity", identity(json("PhysicalDrive1"), json(kCardSize), json("0000"))}}, 1, ""},
      {"a serial of another type", {{"expectedIdentity", identity(json("PhysicalDrive1"), json(kCardSize), json(42))}}, 1,
       "Expected target serial is invalid; preparation was not started."},
      {"a serial that is an object",
       {{"expectedIdentity", identity(json("PhysicalDrive1"), json(kCardSize), json::object())}}, 1,
       "Expected target serial is invalid; preparation was not started."},
      {"no identity", json::object(), 1, missing},
      {"identity not an object", {{"expectedIdentity", "PhysicalDrive1"}}, 1, missing},
      {"payload not an object", json::array(), 1, missing},
      {"drive as a number", {{"expectedIdentity", identity(json(1))}}, 1, no_drive},
      {"drive without number", {{"expectedIdentity", identity(json("\\\\.\\PhysicalDrive"))}}, 1, bad_drive},
      {"size missing", {{"expectedIdentity", {{"physicalDriveNumber", "PhysicalDrive1"}}}}, 1, no_size},
      {"size negative", {{"expectedIdentity", identity(json("PhysicalDrive1"), json(-1))}}, 1, no_size},
      {"size fractional", {{"expectedIdentity", identity(json("PhysicalDrive1"), json(1048576.0))}}, 1, no_size},
      {"size as text", {{"expectedIdentity", identity(json("PhysicalDrive1"), json("1048576"))}}, 1, no_size},
      {"path names another drive", {{"expectedIdentity", identity()}}, 2, changed},
      {"capacity differs", {{"expectedIdentity", identity(json("PhysicalDrive1"), json(kCardSize - 512))}}, 1, changed},
      {"serial differs", {{"expectedIdentity", identity(json("PhysicalDrive1"), json(kCardSize), json("SD-1235"))}}, 1, serial},
      {"serial punctuation differs", {{"expectedIdentity", identity(json("PhysicalDrive1"), json(kCardSize), json("SD1234"))}}, 1, serial},
      {"fixed SATA disk", {{"expectedIdentity", identity(json("PhysicalDrive2"), json(kCardSize), json("S1"))}}, 2, unproven},
      {"write-protected card", {{"expectedIdentity", identity(json("PhysicalDrive3"), json(kCardSize), json())}}, 3, unproven},
      {"no such drive", {{"expectedIdentity", identity(json("PhysicalDrive9"))}}, 9, unproven},
  };
  for (const auto& c : cases) EXPECT_EQ(check(c.payload, c.path_number), c.message) << c.what;
}

TEST_F(TargetIdentityOnSim, TheLiveQueryFailsClosed) {
  // A card without a serial any more, a descriptor or length that cannot be
  // read, a card that needs elevation: never proven.
  const struct {
    const char* what;
    json change;
    std::string message;
  } cases[] = {
      {"serial gone", {{"drives", {{"serial", nullptr}}}},
       "Target serial changed after preparation; preparation was not started."},
      {"descriptor fails", {{"faults", {{{"operation", "descriptor"}, {"error", 1117}}}}},
       "Could not validate the selected removable target before preparation."},
      {"length fails", {{"faults", {{{"operation", "length"}, {"error", 21}}}}},
       "Could not validate the selected removable target before preparation."},
      // The query open needs administrator rights: the elevation refusal.
      {"not elevated", {{"elevated", false}},
       "ELEVATION_DENIED: Windows denied exclusive raw disk access. Run Tovrin Zarerud as administrator, close File "
       "Explorer windows for this target, unplug and reconnect it, then try again."},
  };
  for (const auto& c : cases) {
    SetUp();
    if (c.change.contains("drives")) machine["drives"][0].erase("serial");
    if (c.change.contains("faults")) machine["faults"] = c.change["faults"];
    if (c.change.contains("elevated")) machine["elevated"] = false;
    EXPECT_EQ(check({{"expectedIdentity", identity()}}), c.message) << c.what;
  }
}

TEST_F(TargetIdentityOnSim, TheRawHandleIsProvenItself) {
  dir.write_machine(machine);
  auto platform = dir.platform();
  const TargetIdentity expected{"sd-1234", kCardSize, 1};
  auto raw = platform.open_drive_exclusive_read(raw_target_path(expected));
  ASSERT_TRUE(raw.ok());
  ASSERT_TRUE((*raw)->seek(4096).ok());
  EXPECT_TRUE(revalidate_raw_handle(**raw, expected, "raw readback").ok());
  // The position is where the caller left it.
  testing::AlignedBytes sector(512);
  ASSERT_TRUE((*raw)->read(sector).ok());
  EXPECT_EQ(platform.state.opens["\\\\.\\physicaldrive1"], 1u);

  auto other = revalidate_raw_handle(**raw, {"sd-1234", kCardSize + 512, 1}, "raw readback");
  EXPECT_EQ(other.error().message, "Target identity changed after preparation; raw readback was not started.");
  raw->reset();
  machine["faults"] = {{{"operation", "descriptor"}}};
  dir.write_machine(machine);
  auto broken = dir.platform();
  auto again = broken.open_drive_exclusive_read("\\\\.\\PhysicalDrive1");
  EXPECT_EQ(revalidate_raw_handle(**again, expected, "raw readback").error().message,
            "Could not revalidate the selected removable target through the exact raw handle; raw readback was "
            "not started.");
}

TEST(ResolveTargetPath, PrefersTheDevicePathAndFallsBackToTheDeviceId) {
  const struct {
    json payload;
    std::string path;  // empty: refused
  } cases[] = {
      {{{"osDevicePath", "\\\\.\\PhysicalDrive5"}, {"deviceId", "PhysicalDrive2"}}, "\\\\.\\PhysicalDrive5"},
      {{{"osDevicePath", 5}, {"deviceId", "PhysicalDrive2"}}, "\\\\.\\PhysicalDrive2"},
      {{{"osDevicePath", "E:"}}, "E:"},  // used verbatim; the commands judge it
      {{{"deviceId", "physicaldrive01"}}, "\\\\.\\PhysicalDrive1"},
      {{{"deviceId", "usb-disk-1"}}, ""},
      {json::object(), ""},
  };
  for (const auto& c : cases) {
    auto path = resolve_target_path(c.payload);
    EXPECT_EQ(path.ok() ? *path : std::string(), c.path) << c.payload.dump();
    if (!path) EXPECT_EQ(path.error().message, "Missing osDevicePath/deviceId payload field");
  }
}

}  // namespace
}  // namespace wh
