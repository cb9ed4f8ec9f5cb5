// What a program of the user's, running without elevation, might try to make
// the elevated helper do, one row per attack: steer it with a request file
// it rewrote, reach a file only administrators may read or write, lead an
// output through a link it planted after the check, run PowerShell from
// another Windows folder or with its own modules, or name as target a disk
// Windows needs. Each row checks the answer and the event log: nothing the
// row forbids was opened, locked or written.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "frame/entry.h"
#include "frame/output.h"
#include "platform/sim/sim_machine_file.h"
#include "sim_dir.h"
#include "xz_samples.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::SimDir;

constexpr std::uint64_t kMiB = 1024 * 1024;
const std::string kEmmc = "\\\\.\\PhysicalDrive3";
const std::string kWindowsVolume = "\\\\?\\Volume{0c0c0c0c-0000-0000-0000-000000000001}\\";
const std::string kEmmcData = "\\\\?\\Volume{3e3e3e3e-0000-0000-0000-000000000003}\\";
const std::string kEmmcEsp = "\\\\?\\Volume{3e3e3e3e-0000-0000-0000-000000000004}\\";
const std::string kCardVolume = "\\\\?\\Volume{e2e2e2e2-0000-0000-0000-000000000002}\\";

// Answers file_status as the simulated Windows does, then lets the row change
// the file system: an attacker who acts between the check and the open.
class RacedPlatform : public sim::SimPlatform {
 public:
  using SimPlatform::SimPlatform;
  std::function<void()> after_status;
  OsResult<std::optional<FileStatus>> file_status(const std::string& path) override {
    auto status = SimPlatform::file_status(path);
    if (after_status) std::exchange(after_status, nullptr)();
    return status;
  }
};

// A tablet: Windows (C:) on drive 0, an eMMC on the MMC bus as drive 3 with
// a data volume and an EFI system partition, a card in drive 2. The user's
// own folder is "user/"; only administrators may touch "admin/".
struct Tablet {
  Tablet() {
    for (const char* folder : {"user", "admin", "cardvol"}) std::filesystem::create_directory(sim.file(folder));
    sim.write_file("system.img", std::string(kMiB, 's'));
    sim.write_file("emmc.img", std::string(2 * kMiB, 'e'));
    sim.write_file("card.img", std::string(2 * kMiB, 'c'));
    sim.install_fake_powershell();
    machine = {
        {"elevated", true},
        {"sleepScale", 0},
        {"userDeniedPaths", {"admin"}},
        {"drives",
         {{{"number", 0}, {"backingFile", "system.img"}, {"busType", 17}, {"removableMedia", false}},
          {{"number", 2}, {"backingFile", "card.img"}, {"serial", "SD-2"}, {"busType", 12}},
          {{"number", 3}, {"backingFile", "emmc.img"}, {"serial", "EMMC-3"}, {"busType", 13},
           {"removableMedia", false}}}},
        {"volumes",
         {{{"name", kWindowsVolume}, {"letters", {"C"}}, {"fileSystem", "NTFS"},
           {"extents", {{{"disk", 0}, {"startingOffset", 0}, {"length", kMiB}}}}},
          {{"name", kEmmcData}, {"letters", {"F"}}, {"fileSystem", "NTFS"},
           {"extents", {{{"disk", 3}, {"startingOffset", kMiB}, {"length", kMiB}}}}},
          {{"name", kEmmcEsp}, {"mounted", false},
           {"extents", {{{"disk", 3}, {"startingOffset", 0}, {"length", kMiB}}}}},
          {{"name", kCardVolume}, {"letters", {"E"}}, {"directory", "cardvol"}, {"mounted", false},
           {"extents", {{{"disk", 2}, {"startingOffset", kMiB}, {"length", kMiB}}}}}}}};
  }

  json emmc_target(json more = json::object()) const {
    more["osDevicePath"] = kEmmc;
    more["expectedIdentity"] = {{"physicalDriveNumber", kEmmc}, {"sizeBytes", 2 * kMiB}, {"serial", "emmc-3"}};
    return more;
  }
  json volume(const std::string& name) {
    for (json& v : machine["volumes"]) {
      if (v["name"] == name) return v;
    }
    return json();
  }
  void set_volume(const std::string& name, const char* member, json value) {
    for (json& v : machine["volumes"]) {
      if (v["name"] == name) v[member] = value;
    }
  }

  // Runs the helper in this process with `arguments`; the last line.
  json run(const std::vector<std::string>& arguments, const std::function<void()>& race = {}) {
    sim.write_machine(machine);
    auto loaded = sim::load_machine(sim.path());
    RacedPlatform platform(std::move(loaded).value());
    platform.after_status = race;
    CapturedLines out;
    run_helper(arguments, platform, out);
    return out.lines.empty() ? json() : json::parse(out.lines.back());
  }
  json request(const std::string& command, const json& payload) {
    const json text = {{"id", "a1"}, {"sessionId", "s"}, {"command", command}, {"payload", payload}};
    return run({"--request", text.dump()});
  }

  SimDir sim;
  json machine;
};

json failure(const std::string& id, const std::string& code, const std::string& message) {
  return {{"id", id}, {"ok", false}, {"errorCode", code}, {"errorMessage", message}};
}

// Every event that changes a disk or reaches one beyond a query, and every
// open of the files the row names.
std::vector<json> forbidden(const std::vector<json>& events, const std::vector<std::string>& files) {
  std::vector<json> found;
  for (const json& event : events) {
    const std::string op = event.value("op", "");
    const std::string path = event.value("path", "");
    const bool drive = path.starts_with("\\\\.\\");
    const bool file = std::find(files.begin(), files.end(), path) != files.end();
    if (op == "write" || op == "lock" || op == "dismount" || op == "flush" ||
        (op == "open" && drive && event.value("mode", "") != "query") || (op == "open" && file)) {
      found.push_back(event);
    }
  }
  return found;
}

TEST(AttackTable, NoProgramWithoutElevationSteersTheHelper) {
  const std::string image = testing::xz_single_block(std::string(64 * 1024, 'i'));
  struct Attack {
    const char* name;
    // Arranges the machine and runs the helper; the answer.
    std::function<json(Tablet&)> attack;
    json answer;  // "{dir}" in messages stands for the sim directory
    std::vector<std::string> untouchable;  // files (relative) that no event may open
  };
  const std::string write_steer =
      json{{"id", "f1"}, {"sessionId", "s"}, {"command", "write_image"}, {"payload", {{"imagePath", "admin/x.img"}}}}.dump();
  const std::string not_started = "; raw write volume lock was not started.";
  const std::vector<Attack> attacks = {
      {"a request file rewritten after the application wrote it",
       [&](Tablet& t) {
         t.sim.write_file("user/request.json", write_steer);
         return t.run({"--request-file", t.sim.file("user/request.json")});
       },
       failure("unknown", "UNKNOWN",
               "Request file {dir}/user/request.json can be changed without elevation; only Administrators and SYSTEM "
               "may be allowed to write it"),
       {"admin/x.img"}},
      {"a request file only administrators may change is read",
       [&](Tablet& t) {
         t.sim.write_file("admin/request.json", R"({"id":"f2","sessionId":"s","command":"cancel_task"})");
         return t.run({"--request-file", t.sim.file("admin/request.json")});
       },
       {{"id", "f2"}, {"ok", true}, {"payload", {{"canceled", true}}}}, {}},
      {"an image only administrators may read",
       [&](Tablet& t) {
         t.sim.write_file("admin/secret.img", std::string(kMiB, 'x'));
         return t.request("write_image", t.emmc_target({{"imagePath", t.sim.file("admin/secret.img")}}));
       },
       failure("a1", "IMAGE_MISSING", "Access is denied. (os error 5); nothing was written."), {"admin/secret.img"}},
      {"an output folder only administrators may write",
       [&](Tablet& t) {
         t.sim.write_file("user/image.xz", image);
         return t.request("image_extract_xz",
                          {{"imagePath", t.sim.file("user/image.xz")}, {"outputPath", t.sim.file("admin/out.img")}});
       },
       failure("a1", "XZ_INVALID", "Access is denied. (os error 5)"), {"admin/out.img"}},
      {"an output link to the Windows disk's bytes planted after the check",
       [&](Tablet& t) {
         t.sim.write_file("user/image.xz", image);
         const json payload = {{"imagePath", t.sim.file("user/image.xz")}, {"outputPath", t.sim.file("user/out.img")}};
         const json text = {{"id", "a1"}, {"sessionId", "s"}, {"command", "image_extract_xz"}, {"payload", payload}};
         return t.run({"--request", text.dump()}, [&t] {
           std::filesystem::create_symlink(t.sim.file("system.img"), t.sim.file("user/out.img"));
         });
       },
       failure("a1", "XZ_INVALID", "Output path is not a regular file: {dir}/user/out.img"), {"system.img"}},
      {"an output folder swapped for a link into a volume after the check",
       [&](Tablet& t) {
         t.sim.write_file("user/image.xz", image);
         std::filesystem::create_directory(t.sim.file("user/cache"));
         const json payload = {{"imagePath", t.sim.file("user/image.xz")}, {"outputPath", t.sim.file("user/cache/out.img")}};
         const json text = {{"id", "a1"}, {"sessionId", "s"}, {"command", "image_extract_xz"}, {"payload", payload}};
         return t.run({"--request", text.dump()}, [&t] {
           std::filesystem::remove(t.sim.file("user/cache"));
           std::filesystem::create_directory_symlink(t.sim.file("cardvol"), t.sim.file("user/cache"));
         });
       },
       failure("a1", "XZ_INVALID",
               "Output path leads to a device or volume, not a file: {dir}/user/cache/out.img -> " + kCardVolume + "out.img"),
       {}},
      {"Windows installed on D: beside a planted C:\\Windows",
       [&](Tablet& t) {
         t.machine["windowsDirectory"] = "D:\\Windows";
         t.set_volume(kWindowsVolume, "letters", {"D"});
         return t.request("health", json::object());
       },
       json(), {}},
      {"the user's own module path in the helper's environment",
       [&](Tablet& t) {
         ::setenv("PSModulePath", "C:\\Users\\mallory\\Documents\\WindowsPowerShell\\Modules", 1);
         const json answer = t.request("health", json::object());
         ::unsetenv("PSModulePath");
         return answer;
       },
       json(), {}},
      {"the eMMC holding the EFI system partition as target",
       [&](Tablet& t) {
         t.set_volume(kEmmcEsp, "systemPartition", true);
         return t.request("write_image", t.emmc_target({{"imagePath", t.sim.file("user/raw.img")}}));
       },
       failure("a1", "DEVICE_NOT_REMOVABLE", "The target holds the system partition Windows started from" + not_started),
       {}},
      {"the eMMC holding the VHDX that Windows boots from as target",
       [&](Tablet& t) {
         t.machine["drives"][0]["hostVolume"] = kEmmcData;
         t.machine["drives"][0].erase("busType");
         return t.request("write_image", t.emmc_target({{"imagePath", t.sim.file("user/raw.img")}}));
       },
       failure("a1", "DEVICE_NOT_REMOVABLE", "The target holds the virtual disk Windows runs from" + not_started), {}},
      {"the eMMC holding a page file as target",
       [&](Tablet& t) {
         t.set_volume(kEmmcData, "pageFile", true);
         return t.request("write_image", t.emmc_target({{"imagePath", t.sim.file("user/raw.img")}}));
       },
       failure("a1", "DEVICE_NOT_REMOVABLE", "The target holds a page file of Windows" + not_started), {}},
  };
  for (const Attack& a : attacks) {
    SCOPED_TRACE(a.name);
    Tablet tablet;
    tablet.sim.write_file("user/image.xz", image);
    std::string raw(64 * 1024, '\0');  // a disk image: a boot signature, no partitions
    raw[510] = '\x55';
    raw[511] = '\xAA';
    tablet.sim.write_file("user/raw.img", raw);
    const std::string before = tablet.sim.read_file("system.img") + tablet.sim.read_file("emmc.img");
    const json answer = a.attack(tablet);
    std::string expected = a.answer.dump();
    for (std::size_t at; (at = expected.find("{dir}")) != std::string::npos;) expected.replace(at, 5, tablet.sim.path());
    if (!a.answer.is_null()) EXPECT_EQ(answer, json::parse(expected));
    std::vector<std::string> files;
    for (const std::string& name : a.untouchable) files.push_back(tablet.sim.file(name));
    EXPECT_EQ(forbidden(tablet.sim.events(), files), std::vector<json>{});
    EXPECT_TRUE(tablet.sim.read_file("system.img") + tablet.sim.read_file("emmc.img") == before);
    EXPECT_FALSE(std::filesystem::exists(tablet.sim.file("admin/out.img")));
    // PowerShell, where a row ran it, came from the Windows folder's system
    // directory, in an environment the helper built.
    const std::string windows = tablet.machine.value("windowsDirectory", "C:\\Windows");
    for (const json& event : tablet.sim.events()) {
      if (event["op"] == "process") EXPECT_EQ(event["executable"], windows + "\\System32\\WindowsPowerShell\\v1.0\\powershell.exe");
    }
    for (const json& environment : tablet.sim.powershell_environments()) {
      EXPECT_EQ(environment, (json{{"ComSpec", windows + "\\System32\\cmd.exe"},
                                   {"PATH", windows + "\\System32;" + windows + ";" + windows + "\\System32\\Wbem;" +
                                                windows + "\\System32\\WindowsPowerShell\\v1.0\\"},
                                   {"PSModulePath", windows + "\\System32\\WindowsPowerShell\\v1.0\\Modules"},
                                   {"SystemRoot", windows},
                                   {"TEMP", windows + "\\Temp"},
                                   {"TMP", windows + "\\Temp"},
                                   {"windir", windows}}));
    }
    if (a.answer.is_null()) {
      EXPECT_EQ(answer.value("ok", false), true) << answer.dump();
      EXPECT_EQ(tablet.sim.powershell_environments().size(), 1u);
    }
  }
}

}  // namespace
}  // namespace wh
