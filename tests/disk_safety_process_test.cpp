// The disk commands as the desktop app runs them: the real helper binary, one
// process per command, on a simulated machine whose PowerShell is the
// project's stand-in. For every fault a card reader can produce, the answer
// is exact, and the event log shows that no handle or lock was left behind,
// that the system disk was never opened and that no byte was written raw.
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "platform/sim/sim_errors.h"
#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::SimDir;

constexpr std::uint64_t kCardSize = 16 << 20;
const std::string kCard = "\\\\.\\PhysicalDrive2";
const std::string kVolume = "\\\\?\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}\\";

json realistic_machine() {
  return {{"elevated", true},
          {"sleepScale", 0},
          {"drives",
           {{{"number", 0}, {"backingFile", "system.img"}, {"sizeBytes", 512110190592}, {"vendor", "NVMe"},
             {"product", "Samsung SSD 980"}, {"serial", "S6B0NL0T"}, {"busType", 17}, {"removableMedia", false},
             {"isSystem", true}, {"isBoot", true}, {"partitionStyle", "GPT"}},
            {{"number", 2}, {"backingFile", "card.img"}, {"vendor", "Generic"}, {"product", "STORAGE DEVICE"},
             {"serial", "  000000123  "}, {"busType", 7}, {"removableMedia", true}, {"partitionStyle", "MBR"}}}},
          {"volumes",
           {{{"name", kVolume},
             {"extents", {{{"disk", 2}, {"startingOffset", 4 << 20}, {"length", 8 << 20}}}},
             {"letters", {"E"}}}}}};
}

struct CommandRun {
  json response;
  std::vector<json> events;
  json machine;  // machine.json afterwards
};

CommandRun run_command(const std::string& command, const json& machine, bool with_powershell = true) {
  SimDir sim;
  sim.write_file("card.img", "");
  ::truncate(sim.file("card.img").c_str(), kCardSize);
  sim.write_file("system.img", "");
  sim.write_machine(machine);
  if (with_powershell) sim.install_fake_powershell();
  json payload = {{"osDevicePath", kCard},
                  {"expectedIdentity",
                   {{"physicalDriveNumber", kCard}, {"sizeBytes", kCardSize}, {"serial", "000000123"}}}};
  const json request = {{"id", "p"}, {"sessionId", "s"}, {"command", command}, {"payload", payload}};
  ::setenv("WINDOWS_HELPER_SIM_DIR", sim.path().c_str(), 1);
  sim::SimPlatform host{sim::SimMachine{}};
  auto process = host.run_process(WINDOWS_HELPER_BINARY, {"--request", request.dump()});
  ::unsetenv("WINDOWS_HELPER_SIM_DIR");
  CommandRun run;
  EXPECT_TRUE(process.ok());
  if (!process) return run;
  EXPECT_EQ(process->exit_code, 0u);
  EXPECT_EQ(process->standard_error, "");
  const std::string& out = process->standard_output;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  run.response = json::parse(out, nullptr, /*allow_exceptions=*/false);
  run.events = sim.events();
  run.machine = json::parse(sim.read_file("machine.json"));
  return run;
}

// What the event log must show after any disk command that reads or writes
// no raw sector: handles and locks all given back, drive 0 untouched, and
// not one byte written to a drive.
void expect_clean(const CommandRun& run, const std::string& what) {
  std::map<long long, int> open_handles, held_locks;
  for (const json& event : run.events) {
    const std::string op = event.value("op", "");
    const std::string path = event.value("path", "");
    const long long process = event.value("process", 0LL);
    if (op == "open") ++open_handles[process];
    if (op == "close") --open_handles[process];
    if (op == "lock") ++held_locks[process];
    if (op == "unlock") --held_locks[process];
    EXPECT_FALSE(op == "write" && path.starts_with("\\\\.\\")) << what << ": " << event.dump();
    EXPECT_NE(path, "\\\\.\\PhysicalDrive0") << what << ": the system disk was opened";
  }
  for (const auto& [process, count] : open_handles) EXPECT_EQ(count, 0) << what << ": handles left open";
  for (const auto& [process, count] : held_locks) EXPECT_EQ(count, 0) << what << ": locks left held";
}

const json& drive(const json& machine, int number) {
  for (const json& d : machine["drives"]) {
    if (d["number"] == number) return d;
  }
  static const json none;
  return none;
}

TEST(DiskSafety, EveryFaultGivesItsExactAnswerAndLeavesTheCardUntouched) {
  const std::string os2 = sim::win32_error(2).text();
  const struct {
    const char* fault;
    std::function<void(json&)> arrange;
    // Expected "code: message" per command, {step} standing for its step
    // name; "" for success.
    std::string prepare, detach, finalize, reformat;
  } cases[] = {
      {"none", [](json&) {}, "", "", "", ""},
      {"card pulled",
       [](json& m) { m["faults"] = {{{"operation", "disappear"}, {"path", kCard}}}; },
       "DEVICE_NOT_REMOVABLE: Could not validate the selected removable target before {step}.", "*", "*", "*"},
      {"card swapped, other serial",
       [](json& m) { m["faults"] = {{{"operation", "swap"}, {"path", kCard}, {"serial", "SWAPPED-1"}}}; },
       "DEVICE_NOT_REMOVABLE: Target serial changed after preparation; {step} was not started.", "*", "*", "*"},
      {"card swapped, other capacity",
       [](json& m) { m["faults"] = {{{"operation", "swap"}, {"path", kCard}, {"sizeBytes", 32 << 20}}}; },
       "DEVICE_NOT_REMOVABLE: Target identity changed after preparation; {step} was not started.", "*", "*", "*"},
      {"not removable",
       [](json& m) {
         m["drives"][1]["busType"] = 11;
         m["drives"][1]["removableMedia"] = false;
       },
       "DEVICE_NOT_REMOVABLE: Could not validate the selected removable target before {step}.", "*", "*", "*"},
      {"read-only", [](json& m) { m["drives"][1]["readOnly"] = true; },
       "DEVICE_NOT_REMOVABLE: Could not validate the selected removable target before {step}.", "*", "*", "*"},
      {"not elevated", [](json& m) { m["elevated"] = false; },
       "ELEVATION_DENIED: Windows denied exclusive raw disk access. Run Tovrin Zarerud as administrator, close File "
       "Explorer windows for this target, unplug and reconnect it, then try again.",
       "*", "*", "*"},
      {"PowerShell failing",
       [](json& m) { m["powershell"] = {{"fail", {{"exitCode", 1}, {"stderr", "Get-Disk : Access Denied\r\n"}}}}; },
       "UNKNOWN: Get-Disk : Access Denied", "warning: PowerShell detach step (UNKNOWN): Get-Disk : Access Denied",
       "*", "*"},
      // What PowerShell sees differs from the device controls: the script's
      // own proof refuses to act.
      {"Get-Disk reports another serial",
       [](json& m) { m["drives"][1]["getDisk"] = {{"SerialNumber", "SWAPPED-2"}}; },
       "UNKNOWN: Target serial changed before {step}",
       "warning: PowerShell detach step (UNKNOWN): Target serial changed before detachment", "*", "*"},
      {"Get-Disk reports another capacity",
       [](json& m) { m["drives"][1]["getDisk"] = {{"Size", 32 << 20}}; },
       "UNKNOWN: Target capacity changed before {step}",
       "warning: PowerShell detach step (UNKNOWN): Target capacity changed before detachment", "*", "*"},
      // The card swapped after the script ran: detach's volume step sees it.
      {"card swapped before the volume step",
       [](json& m) {
         m["faults"] = {{{"operation", "swap"}, {"path", kCard}, {"afterOpens", 1}, {"serial", "SWAPPED-3"}}};
       },
       "", "DEVICE_NOT_REMOVABLE: Target serial changed before a volume operation.", "", ""},
  };
  const char* commands[] = {"prepare_disk", "detach_target", "finalize_disk", "reformat_disk"};
  const char* steps[] = {"preparation", "detachment", "finalization", "reformat"};
  for (const auto& c : cases) {
    const std::string expected_by_command[] = {c.prepare, c.detach == "*" ? c.prepare : c.detach,
                                               c.finalize == "*" ? c.prepare : c.finalize,
                                               c.reformat == "*" ? c.prepare : c.reformat};
    for (int i = 0; i < 4; ++i) {
      json machine = realistic_machine();
      c.arrange(machine);
      const CommandRun run = run_command(commands[i], machine);
      std::string expected = expected_by_command[i];
      for (std::size_t at; (at = expected.find("{step}")) != std::string::npos;) expected.replace(at, 6, steps[i]);
      const std::string what = std::string(commands[i]) + " / " + c.fault;
      if (expected.empty()) {
        EXPECT_EQ(run.response.value("ok", false), true) << what << ": " << run.response.dump();
      } else if (expected.starts_with("warning: ")) {
        EXPECT_EQ(run.response["payload"]["warnings"][0], expected.substr(9)) << what;
      } else {
        EXPECT_EQ(run.response.value("errorCode", "") + ": " + run.response.value("errorMessage", ""), expected)
            << what;
      }
      expect_clean(run, what);
    }
  }
}

TEST(DiskSafety, PowerShellMissingStopsAllButDetach) {
  const std::string missing = sim::win32_error(2).text();
  for (const char* command : {"prepare_disk", "finalize_disk", "reformat_disk"}) {
    const CommandRun run = run_command(command, realistic_machine(), /*with_powershell=*/false);
    EXPECT_EQ(run.response["errorCode"], "TOOL_MISSING") << command;
    EXPECT_EQ(run.response["errorMessage"], missing) << command;
    expect_clean(run, command);
  }
  // Detach goes on with the volume step and reports the script as a warning.
  const CommandRun detached = run_command("detach_target", realistic_machine(), /*with_powershell=*/false);
  EXPECT_EQ(detached.response["payload"],
            (json{{"detached", true}, {"warnings", {"PowerShell detach step (TOOL_MISSING): " + missing}}}));
  expect_clean(detached, "detach_target without PowerShell");
  EXPECT_EQ(detached.machine["volumes"][0].value("mounted", true), false);
}

TEST(DiskSafety, TheMachineChangesAsWindowsWould) {
  const CommandRun prepared = run_command("prepare_disk", realistic_machine());
  ASSERT_EQ(prepared.response["payload"], (json{{"osDevicePath", kCard}, {"prepared", true}}));
  // A card is removable media, which Windows will not take offline: it stays
  // online without letters, its volume dismounted.
  EXPECT_EQ(drive(prepared.machine, 2).value("offline", true), false);
  EXPECT_EQ(prepared.machine["volumes"][0].value("letters", json::array()), json::array());
  EXPECT_EQ(prepared.machine["volumes"][0].value("mounted", true), false);
  const auto refused = std::find_if(prepared.events.begin(), prepared.events.end(),
                                    [](const json& e) { return e.value("effect", "") == "offlineRefused"; });
  EXPECT_NE(refused, prepared.events.end());

  // A fixed disk on USB goes offline, and finalize brings it back.
  json fixed = realistic_machine();
  fixed["drives"][1]["removableMedia"] = false;
  const CommandRun offline = run_command("prepare_disk", fixed);
  EXPECT_EQ(drive(offline.machine, 2).value("offline", false), true);
  const CommandRun finalized = run_command("finalize_disk", offline.machine);
  EXPECT_EQ(finalized.response["payload"], (json{{"finalized", true}}));
  EXPECT_EQ(drive(finalized.machine, 2).value("offline", true), false);
}

}  // namespace
}  // namespace wh
