// The PowerShell stand-in, run as the real process the helper starts: its
// answers, and its effects on the machine as the next process sees them.
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "disk_script_texts.h"
#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using namespace testing;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kCard = 64 * kMiB;
const std::string kVolume = "\\\\?\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}\\";
const std::string kOtherVolume = "\\\\?\\Volume{00000000-1111-2222-3333-444444444444}\\";

class FakePowerShell : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write_file("card.img", "");
    std::filesystem::resize_file(dir.file("card.img"), kCard);
    dir.install_fake_powershell();
    machine = {{"elevated", true},
               {"drives",
                {{{"number", 1}, {"backingFile", "card.img"}, {"vendor", "Generic"}, {"product", "SD Reader "},
                  {"serial", "AB-12"}, {"busType", 12}, {"readOnly", true}},
                 {{"number", 0}, {"backingFile", "card.img"}, {"sizeBytes", 512 * kMiB}, {"busType", 17},
                  {"isSystem", true}, {"isBoot", true}, {"removableMedia", false}}}},
               {"volumes",
                {{{"name", kVolume}, {"letters", {"E"}}, {"heldBy", {{"error", 32}, {"until", "forceDismount"}}},
                  {"extents", {{{"disk", 1}, {"startingOffset", 4 * kMiB}, {"length", 8 * kMiB}}}}},
                 {{"name", kOtherVolume}, {"letters", {"C"}},
                  {"extents", {{{"disk", 0}, {"startingOffset", kMiB}, {"length", kMiB}}}}}}}};
  }
  // Runs `script` through the simulated platform, as the helper does.
  ProcessOutput run(const std::string& script) {
    dir.write_machine(machine);
    auto platform = dir.platform();
    auto out = platform.run_process(std::string(kPowerShellPath),
                                    {"-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command", script});
    if (!out) throw std::runtime_error(out.error().text());
    return *out;
  }
  static std::string disk_script(const std::string& step, const std::string& tail, const std::string& serial = "'ab12'",
                                 std::uint64_t size = kCard) {
    return stop_and_revalidate(1, size, ps_quoted(step), serial) + tail;
  }
  // fsck.exfat -n on the bytes of the card's first partition.
  int fsck_partition(std::uint64_t offset, std::uint64_t length) const {
    const std::string card = dir.read_file("card.img");
    dir.write_file("partition.img", card.substr(offset, length));
    return std::system(("fsck.exfat -n '" + dir.file("partition.img") + "' >/dev/null 2>&1").c_str());
  }
  SimDir dir;
  json machine;
};

TEST_F(FakePowerShell, ListsTheDisksAsConvertToJsonDoes) {
  machine["drives"][1]["getDisk"] = {{"BusType", 17}, {"FriendlyName", "Samsung SSD"}};
  auto listing = run("$disks = Get-Disk | Select-Object Number,FriendlyName,SerialNumber,Size,IsReadOnly,BusType,"
                     "IsSystem,IsBoot; $disks | ConvertTo-Json -Compress");
  EXPECT_EQ(listing.exit_code, 0u);
  EXPECT_EQ(listing.standard_output,
            R"([{"Number":0,"FriendlyName":"Samsung SSD","SerialNumber":null,"Size":536870912,"IsReadOnly":false,)"
            R"("BusType":17,"IsSystem":true,"IsBoot":true},{"Number":1,"FriendlyName":"Generic SD Reader",)"
            R"("SerialNumber":"AB-12","Size":67108864,"IsReadOnly":true,"BusType":"SD","IsSystem":false,)"
            R"("IsBoot":false}])" "\r\n");
  machine["drives"].erase(0);
  const std::string query = "Get-Disk | Select-Object Number,IsSystem,IsBoot | ConvertTo-Json -Compress";
  EXPECT_EQ(run(query).standard_output, "{\"Number\":0,\"IsSystem\":true,\"IsBoot\":true}\r\n");  // one object alone
  machine["drives"] = json::array();
  EXPECT_EQ(run(query).standard_output, "");
}

TEST_F(FakePowerShell, TheFragmentRefusesAnotherCard) {
  const struct {
    const char* what;
    json drive_change;
    std::string serial;
    std::uint64_t size;
    int exit_code;
    std::string standard_error;
  } cases[] = {
      {"same card", json::object(), "'ab12'", kCard, 0, ""},
      {"serials compared without punctuation or case", json::object(), "'A.B 1-2'", kCard, 0, ""},
      {"no serial expected", {{"serial", "other"}}, "$null", kCard, 0, ""},
      {"an empty serial skips the test", {{"serial", "other"}}, "''", kCard, 0, ""},
      {"another serial", {{"serial", "AB-13"}}, "'ab12'", kCard, 1, "Target serial changed before preparation\r\n"},
      {"another size", json::object(), "'ab12'", kCard + 512, 1, "Target capacity changed before preparation\r\n"},
      {"Get-Disk reports its own size", {{"getDisk", {{"Size", 1024}}}}, "'ab12'", kCard, 1,
       "Target capacity changed before preparation\r\n"},
      {"no card in the reader", {{"noMedium", true}}, "'ab12'", kCard, 1, "Target capacity changed before preparation\r\n"},
      {"another disk number", {{"number", 2}}, "'ab12'", kCard, 1,
       "Get-Disk : No MSFT_Disk objects found with property 'Number' equal to '1'.  Verify the value of the "
       "property and retry.\r\n"},
  };
  const json original = machine;
  for (const auto& c : cases) {
    machine = original;
    machine["drives"][0].update(c.drive_change);
    auto out = run(disk_script("preparation", kPrepareTail, c.serial, c.size));
    EXPECT_EQ(out.exit_code, static_cast<std::uint32_t>(c.exit_code)) << c.what;
    EXPECT_EQ(out.standard_error, c.standard_error) << c.what;
    // A refused script changes nothing.
    if (c.exit_code != 0) EXPECT_EQ(dir.machine()["drives"][0]["offline"], false) << c.what;
  }
}

// A card in a reader is removable media, which Windows refuses to take
// offline ("Removable media cannot be set to offline."): it stays online with
// its volume dismounted and without letters. A fixed disk on USB goes offline.
TEST_F(FakePowerShell, PrepareAndDetachTakeTheDiskOutOfUse) {
  const json original = machine;
  for (const bool removable : {true, false}) {
    machine = original;
    machine["drives"][0]["removableMedia"] = removable;
    for (const auto& [step, tail] : {std::pair{"preparation", kPrepareTail}, std::pair{"detachment", kDetachTail}}) {
      auto out = run(disk_script(step, tail));
      ASSERT_EQ(out.exit_code, 0u) << step << out.standard_error;
      const json after = dir.machine();
      EXPECT_EQ(after["drives"][0]["offline"], !removable) << step;
      EXPECT_EQ(after["drives"][0]["readOnly"], std::string(step) == "detachment") << step;  // detach leaves it
      EXPECT_EQ(after["volumes"][0]["letters"], json::array()) << step;
      EXPECT_EQ(after["volumes"][0]["mounted"], false) << step;
      EXPECT_FALSE(after["volumes"][0].contains("heldBy")) << step;  // the forced dismount ended the hold
      // The other disk is untouched.
      EXPECT_EQ(after["volumes"][1]["letters"], json::array({"C"})) << step;
      EXPECT_EQ(after["drives"][1]["offline"], false) << step;
    }
    // The helper's platform, reading the machine after the script, finds the
    // card's volume gone with its disk offline, or still there, dismounted.
    auto platform = dir.platform();
    const std::vector<std::string> listed = removable ? std::vector<std::string>{kVolume, kOtherVolume}
                                                      : std::vector<std::string>{kOtherVolume};
    EXPECT_EQ(*platform.list_volumes(), listed);
  }
}

TEST_F(FakePowerShell, CmdletFailuresFollowTheScriptsErrorHandling) {
  const struct {
    const char* what;
    json failures;
    bool write_protect_switch;
    std::string step;
    std::string tail;
    int exit_code;
    std::string standard_error;
    bool offline, read_only;
  } cases[] = {
      {"prepare tolerates Not Supported", {{{"cmdlet", "Set-Disk"}, {"parameter", "IsReadOnly"}, {"message", "Not Supported"}}},
       false, "preparation", kPrepareTail, 0, "", true, true},
      {"prepare tolerates Access Denied", {{{"cmdlet", "Set-Disk"}, {"message", "Access Denied"}}},
       false, "preparation", kPrepareTail, 0, "", false, true},
      {"prepare stops on anything else", {{{"cmdlet", "Set-Disk"}, {"parameter", "IsReadOnly"}, {"message", "The disk is busy."}}},
       false, "preparation", kPrepareTail, 1, "Set-Disk : The disk is busy.\r\n", false, true},
      {"the write-protect switch cannot be cleared", json::array(), true, "preparation", kPrepareTail, 0, "", true, true},
      {"finalize ignores Set-Disk", {{{"cmdlet", "Set-Disk"}, {"message", "Access Denied"}}},
       false, "finalization", kFinalizeTail, 0, "", true, true},
      {"finalize brings it online", json::array(), false, "finalization", kFinalizeTail, 0, "", false, false},
      {"reformat stops at Clear-Disk", {{{"cmdlet", "Clear-Disk"}, {"message", "Access Denied"}}},
       false, "reformat", reformat_tail("'x'"), 1, "Clear-Disk : Access Denied\r\n", false, false},
      {"reformat on a write-protected card", json::array(), true, "reformat", reformat_tail("'x'"), 1,
       "Clear-Disk : The media is write protected.\r\n", false, true},
  };
  // A fixed disk, which Set-Disk can take offline.
  machine["drives"][0]["removableMedia"] = false;
  const json original = machine;
  for (const auto& c : cases) {
    machine = original;
    machine["powershell"] = {{"cmdletFailures", c.failures}};
    machine["drives"][0]["writeProtectSwitch"] = c.write_protect_switch;
    if (c.step == "finalization") machine["drives"][0]["offline"] = true;
    auto out = run(disk_script(c.step, c.tail));
    EXPECT_EQ(out.exit_code, static_cast<std::uint32_t>(c.exit_code)) << c.what;
    EXPECT_EQ(out.standard_error, c.standard_error) << c.what;
    const json drive = dir.machine()["drives"][0];
    EXPECT_EQ(drive["offline"], c.offline) << c.what;
    EXPECT_EQ(drive["readOnly"].get<bool>() || drive["writeProtectSwitch"].get<bool>(), c.read_only) << c.what;
  }
}

TEST_F(FakePowerShell, ReformatLeavesOneExfatVolumeThatFsckAccepts) {
  dir.write_file("old.bin", std::string(kMiB, '\xAA'));  // old data where the partition table goes
  std::filesystem::copy_file(dir.file("old.bin"), dir.file("card.img"), std::filesystem::copy_options::overwrite_existing);
  std::filesystem::resize_file(dir.file("card.img"), kCard);
  const std::string right = "\u2019";
  auto out = run(disk_script("reformat", reformat_tail("\u2018Bob" + right + right + "s SD\u201B")));
  ASSERT_EQ(out.exit_code, 0u) << out.standard_error;
  const json after = dir.machine();
  ASSERT_EQ(after["volumes"].size(), 2u);
  EXPECT_EQ(after["volumes"][0]["name"], kOtherVolume);  // the old volume of the card is gone
  const json& fresh = after["volumes"][1];
  EXPECT_NE(fresh["name"], kVolume);
  EXPECT_EQ(fresh["letters"], json::array({"D"}));
  EXPECT_EQ(fresh["mounted"], true);
  EXPECT_EQ(fresh["extents"], json::array({{{"disk", 1}, {"startingOffset", kMiB}, {"length", kCard - kMiB}}}));
  EXPECT_EQ(after["drives"][0]["readOnly"], false);
  const std::string card = dir.read_file("card.img");
  EXPECT_EQ(static_cast<unsigned char>(card[446 + 4]), 0x07u);
  EXPECT_EQ(card.substr(510, 2), "\x55\xAA");
  EXPECT_EQ(fsck_partition(kMiB, kCard - kMiB), 0);
  const std::string label_cmd = "exfatlabel '" + dir.file("partition.img") + "' > '" + dir.file("label") + "' 2>&1";
  ASSERT_EQ(std::system(label_cmd.c_str()), 0);
  EXPECT_NE(dir.read_file("label").find("label: Bob" + right + "s SD"), std::string::npos) << dir.read_file("label");
}

TEST_F(FakePowerShell, ALabelExfatRefusesFailsAfterTheDiskWasCleared) {
  auto out = run(disk_script("reformat", reformat_tail("'Twelve chars'")));
  EXPECT_EQ(out.exit_code, 1u);
  EXPECT_EQ(out.standard_error.rfind("Format-Volume : ", 0), 0u) << out.standard_error;
  const json after = dir.machine();
  ASSERT_EQ(after["volumes"].size(), 2u);
  EXPECT_EQ(after["volumes"][1]["mounted"], false);  // partitioned, never formatted
  EXPECT_EQ(after["drives"][0]["partitionStyle"], "MBR");
}

TEST_F(FakePowerShell, AnswersNothingElse) {
  const std::string scripts[] = {"Get-Disk", "Get-Disk | ConvertTo-Json", disk_script("preparation", kPrepareTail) + ";",
                                 "", std::string("\xff\xfe\0", 3)};
  for (const std::string& script : scripts) EXPECT_EQ(run(script).exit_code, 1u) << script;
  machine["elevated"] = false;
  auto denied = run(disk_script("finalization", kFinalizeTail));
  EXPECT_EQ(denied.exit_code, 1u);
  EXPECT_EQ(denied.standard_error, "Get-Disk : Access to a CIM resource was not available to the client.\r\n");
  EXPECT_EQ(dir.powershell_log().size(), std::size(scripts) + 1);
}

TEST_F(FakePowerShell, LogsItsEffectsBetweenTheHelpersEvents) {
  auto out = run(disk_script("preparation", kPrepareTail));
  ASSERT_EQ(out.exit_code, 0u);
  std::vector<std::string> seen;
  for (const json& e : dir.events()) {
    seen.push_back(e["op"].get<std::string>() + (e.contains("effect") ? " " + e["effect"].get<std::string>() : ""));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"process", "powershell readOnlyCleared", "powershell letterRemoved",
                                            "powershell dismount", "powershell offlineRefused", "powershell"}));
}

}  // namespace
}  // namespace wh
