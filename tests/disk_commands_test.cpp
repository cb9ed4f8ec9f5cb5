// prepare_disk, detach_target, finalize_disk and reformat_disk on the
// simulated Windows: the script each one sends, the payloads, and every
// refusal before PowerShell is started.
#include <cstdio>
#include <sstream>

#include <gtest/gtest.h>

#include "frame/entry.h"
#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::SimDir;

constexpr std::uint64_t kCardSize = 1 << 20;

class DiskCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.write_file("card.img", std::string(kCardSize, '\0'));
    machine = {{"elevated", true},
               {"sleepScale", 0},
               {"drives", {{{"number", 2}, {"backingFile", "card.img"}, {"serial", "SD-2"}, {"busType", 12}}}}};
  }
  // Logs each script and answers as a PowerShell whose cmdlets all succeed.
  void quiet_powershell(const std::string& exit = "exit 0") {
    sim.install_powershell_script("printf '%s\\n' \"$6\" >> \"$(dirname \"$0\")/scripts.log\"; " + exit);
  }
  std::vector<std::string> scripts() const {
    std::vector<std::string> lines;
    std::istringstream log(sim.read_file("scripts.log"));
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
  }
  json run(const std::string& command, json payload) {
    sim.write_machine(machine);
    auto platform = sim.platform();
    CapturedLines out;
    const json request{{"id", "d1"}, {"sessionId", "s1"}, {"command", command}, {"payload", payload}};
    run_helper({"--request", request.dump()}, platform, out);
    EXPECT_EQ(out.lines.size(), 1u);
    return json::parse(out.lines.back());
  }
  static json target(json identity = {{"physicalDriveNumber", "\\\\.\\PhysicalDrive2"}, {"sizeBytes", kCardSize},
                                      {"serial", "sd-2"}}) {
    return {{"osDevicePath", "\\\\.\\PhysicalDrive2"}, {"expectedIdentity", std::move(identity)}};
  }
  SimDir sim;
  json machine;
};

TEST_F(DiskCommands, EachSendsItsScriptBehindTheIdentityFragment) {
  quiet_powershell();
  const struct {
    const char* command;
    const char* step;
    const char* tail_start;
    json payload;
  } cases[] = {
      {"prepare_disk", "preparation", "; try { Set-Disk -InputObject $disk -IsReadOnly $false -ErrorAction Stop }",
       {{"osDevicePath", "\\\\.\\PhysicalDrive2"}, {"prepared", true}}},
      {"detach_target", "detachment", "; $ErrorActionPreference = 'Continue'; Import-Module Storage",
       {{"detached", true}, {"warnings", json::array()}}},
      {"finalize_disk", "finalization", "; try { Set-Disk -InputObject $disk -IsOffline $false",
       {{"finalized", true}}},
      {"reformat_disk", "reformat", "; try { Set-Disk -InputObject $disk -IsOffline $false",
       {{"reformatted", true}}},
  };
  for (const auto& c : cases) {
    sim.write_file("scripts.log", "");
    const json response = run(c.command, target());
    EXPECT_EQ(response["payload"], c.payload) << c.command << response.dump();
    ASSERT_EQ(scripts().size(), 1u) << c.command;
    const std::string script = scripts()[0];
    const std::string head = "$ErrorActionPreference = 'Stop'; $disk = Get-Disk -Number 2 -ErrorAction Stop; if "
                             "([uint64]$disk.Size -ne 1048576) { throw ('Target capacity changed before ' + '" +
                             std::string(c.step) + "') }; $expectedSerial = 'sd-2'; ";
    EXPECT_TRUE(script.starts_with(head)) << script;
    EXPECT_NE(script.find("('Target serial changed before ' + '" + std::string(c.step) + "') } }" + c.tail_start),
              std::string::npos)
        << script;
  }
}

TEST_F(DiskCommands, TheDeviceIdNamesTheTargetWhenThereIsNoPath) {
  quiet_powershell();
  json payload = target();
  payload.erase("osDevicePath");
  payload["deviceId"] = "PhysicalDrive2";
  EXPECT_EQ(run("prepare_disk", payload)["payload"]["osDevicePath"], "\\\\.\\PhysicalDrive2");
}

TEST_F(DiskCommands, ReformatQuotesTheLabelAsOneLiteral) {
  quiet_powershell();
  const struct {
    json label;
    std::string literal;
  } cases[] = {
      {json(), "'TovrinSD'"},
      {42, "'TovrinSD'"},
      {"", "''"},
      {"Bob's card", "'Bob''s card'"},
      {"Bob\xE2\x80\x99s'; Remove-Item C:\\ -Recurse; '", "'Bob\xE2\x80\x99\xE2\x80\x99s''; Remove-Item C:\\ -Recurse; '''"},
  };
  for (const auto& c : cases) {
    sim.write_file("scripts.log", "");
    json payload = target();
    if (!c.label.is_null()) payload["volumeLabel"] = c.label;
    EXPECT_EQ(run("reformat_disk", payload)["payload"]["reformatted"], true);
    EXPECT_TRUE(scripts().at(0).ends_with("-NewFileSystemLabel " + c.literal +
                                          " -Confirm:$false -Force -ErrorAction Stop | Out-Null"))
        << scripts().at(0);
  }
}

TEST_F(DiskCommands, RefusalsComeBeforePowerShellStarts) {
  quiet_powershell();
  const std::string all[] = {"prepare_disk", "detach_target", "finalize_disk", "reformat_disk"};
  const std::string steps[] = {"preparation", "detachment", "finalization", "reformat"};
  for (std::size_t i = 0; i < 4; ++i) {
    const struct {
      json payload;
      std::string code;
      std::string message;
    } cases[] = {
        {json::object(), "UNKNOWN", "Missing osDevicePath/deviceId payload field"},
        {{{"osDevicePath", "\\\\.\\PhysicalDrive2"}}, "DEVICE_NOT_REMOVABLE",
         "Missing expected immutable target identity; " + steps[i] + " was not started."},
        {target({{"physicalDriveNumber", "PhysicalDrive2"}, {"sizeBytes", kCardSize}, {"serial", "other"}}),
         "DEVICE_NOT_REMOVABLE", "Target serial changed after preparation; " + steps[i] + " was not started."},
        {target({{"physicalDriveNumber", "PhysicalDrive2"}, {"sizeBytes", 2 * kCardSize}}), "DEVICE_NOT_REMOVABLE",
         "Target identity changed after preparation; " + steps[i] + " was not started."},
        {target({{"physicalDriveNumber", 2}, {"sizeBytes", kCardSize}}), "DEVICE_NOT_REMOVABLE",
         "Expected physical drive identity is missing; " + steps[i] + " was not started."},
        {target({{"physicalDriveNumber", "disk two"}, {"sizeBytes", kCardSize}}), "DEVICE_NOT_REMOVABLE",
         "Expected physical drive identity is invalid; " + steps[i] + " was not started."},
        {target({{"physicalDriveNumber", "PhysicalDrive2"}, {"sizeBytes", -1}}), "DEVICE_NOT_REMOVABLE",
         "Expected target capacity is missing; " + steps[i] + " was not started."},
        {target({{"physicalDriveNumber", "PhysicalDrive3"}, {"sizeBytes", kCardSize}}), "DEVICE_NOT_REMOVABLE",
         "Target identity changed after preparation; " + steps[i] + " was not started."},
    };
    for (const auto& c : cases) {
      const json response = run(all[i], c.payload);
      EXPECT_EQ(response["errorCode"], c.code) << all[i] << c.payload.dump();
      EXPECT_EQ(response["errorMessage"], c.message) << all[i];
    }
  }
  // A path without a drive number: each command answers in its own way.
  const json letter = {{"osDevicePath", "E:"}, {"expectedIdentity", target()["expectedIdentity"]}};
  EXPECT_EQ(run("prepare_disk", letter)["errorMessage"], "Unable to parse drive number from E:");
  EXPECT_EQ(run("finalize_disk", letter)["errorMessage"], "Could not parse PhysicalDrive number from E:");
  EXPECT_EQ(run("reformat_disk", letter)["errorMessage"], "Could not parse PhysicalDrive number from E:");
  EXPECT_EQ(run("detach_target", letter)["payload"],
            (json{{"detached", true}, {"warnings", {"Could not parse PhysicalDrive number from E:"}}}));
  EXPECT_TRUE(scripts().empty());
}

TEST_F(DiskCommands, PowerShellFailuresAreTheCommandsOwnExceptForDetach) {
  quiet_powershell("echo 'Target serial changed before preparation' >&2; exit 1");
  const json failed = run("prepare_disk", target());
  EXPECT_EQ(failed["errorCode"], "UNKNOWN");
  EXPECT_EQ(failed["errorMessage"], "Target serial changed before preparation");
  EXPECT_EQ(run("detach_target", target())["payload"]["warnings"],
            json::array({"PowerShell detach step (UNKNOWN): Target serial changed before preparation"}));

  std::remove(sim.file("powershell").c_str());
  const json missing = run("finalize_disk", target());
  EXPECT_EQ(missing["errorCode"], "TOOL_MISSING");
  const json detached = run("detach_target", target());
  EXPECT_EQ(detached["payload"]["detached"], true);
  EXPECT_TRUE(detached["payload"]["warnings"][0].get<std::string>().starts_with(
      "PowerShell detach step (TOOL_MISSING): "));
}

TEST_F(DiskCommands, DetachWarnsOfEveryVolumeItCouldNotTakeOutOfUse) {
  quiet_powershell();
  const std::string a = "\\\\?\\Volume{aaaaaaaa-0000-0000-0000-000000000001}";
  const std::string b = "\\\\?\\Volume{bbbbbbbb-0000-0000-0000-000000000002}";
  for (const std::string& name : {a, b}) {
    machine["volumes"].push_back({{"name", name + "\\"}, {"extents", {{{"disk", 2}, {"length", 4096}}}}});
  }
  machine["faults"] = {{{"operation", "open"}, {"path", a}, {"mode", "volumeReadWrite"}, {"error", 5}},
                       {{"operation", "dismount"}, {"path", b}, {"error", 5}}};
  EXPECT_EQ(run("detach_target", target())["payload"],
            (json{{"detached", true},
                  {"warnings",
                   {"Could not open mounted volume " + a + "\\ for dismount.",
                    "Could not dismount mounted volume " + b +
                        "\\. Close File Explorer windows and other programs using this target, then remove it."}}}));
}

TEST_F(DiskCommands, DetachFailsWhenTheCardIsGoneBeforeItsVolumeStep) {
  quiet_powershell();
  // Opens: the identity check, then the volume step's revalidation.
  machine["faults"] = {{{"operation", "disappear"}, {"path", "\\\\.\\PhysicalDrive2"}, {"afterOpens", 1}}};
  const json response = run("detach_target", target());
  EXPECT_EQ(response["errorCode"], "DEVICE_NOT_REMOVABLE");
  EXPECT_EQ(response["errorMessage"], "Could not revalidate the selected removable target before a volume operation.");
}

}  // namespace
}  // namespace wh
