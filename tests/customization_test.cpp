// apply_customization on the simulated Windows, with a PowerShell that
// answers the boot-volume script with a chosen record and logs the scripts:
// what lands in the boot volume's files, the order of proofs and writes, and
// that the disk is released after every outcome once the identity held.
#include <filesystem>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "customize/boot_volume.h"
#include "frame/entry.h"
#include "platform/sim/sim_errors.h"
#include "sim_dir.h"
#include "target/disk_commands.h"

namespace wh {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::SimDir;

constexpr std::uint64_t kCardSize = 1 << 20;
const std::string kVolume = "\\\\?\\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}\\";
const std::string kCmdline = "console=serial0,115200 root=PARTUUID=1-02 systemd.run=/boot/old.sh rootwait\n";
const std::string kAppend = "systemd.run=/boot/firstrun.sh systemd.unit=kernel-command-line.target";
const std::string kMerged = "console=serial0,115200 root=PARTUUID=1-02 rootwait " + kAppend + "\n";
const TargetIdentity kCard{"sd-2", kCardSize, 2};

std::string text(std::uint32_t code) { return sim::win32_error(code).text(); }

class Customization : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* left : {"boot", "scripts.log", "locate.err", "release.err"}) fs::remove_all(sim.file(left));
    sim.write_file("card.img", std::string(kCardSize, '\0'));
    fs::create_directories(sim.file("boot/overlays"));
    sim.write_file("boot/cmdline.txt", kCmdline);
    sim.write_file("boot/firstrun.sh", "an older and longer first-run script\n");
    sim.write_file("locate.out", "{\"DiskNumber\":2,\"PartitionNumber\":1,\"DriveLetter\":\"E\",\"VolumeGuidPath\":" +
                                     json(kVolume).dump() + "}");
    sim.install_powershell_script(
        "d=$(dirname \"$0\"); printf '%s\\n' \"$6\" >> \"$d/scripts.log\"; case \"$6\" in "
        "*'ConvertTo-Json -Compress') cat \"$d/locate.out\"; f=\"$d/locate.err\";; *) f=\"$d/release.err\";; esac; "
        "if [ -f \"$f\" ]; then cat \"$f\" >&2; exit 1; fi");
    machine = {{"elevated", true},
               {"sleepScale", 0},
               {"drives", {{{"number", 2}, {"backingFile", "card.img"}, {"serial", "SD-2"}, {"busType", 12}}}},
               {"volumes",
                {{{"name", kVolume},
                  {"extents", {{{"disk", 2}, {"startingOffset", 4096}, {"length", 65536}}}},
                  {"directory", "boot"}}}}};
  }
  json run(json more) {
    sim.write_machine(machine);
    auto platform = sim.platform();
    if (!more.contains("osDevicePath")) more["osDevicePath"] = "\\\\.\\PhysicalDrive2";
    if (!more.contains("expectedIdentity")) {
      more["expectedIdentity"] = {{"physicalDriveNumber", "\\\\.\\PhysicalDrive2"}, {"sizeBytes", kCardSize},
                                  {"serial", "sd-2"}};
    }
    CapturedLines out;
    const json request{{"id", "c1"}, {"sessionId", "s1"}, {"command", "apply_customization"}, {"payload", more}};
    run_helper({"--request", request.dump()}, platform, out);
    EXPECT_EQ(out.lines.size(), 1u);
    return json::parse(out.lines.back());
  }
  // The scripts PowerShell received: "locate" and "release" for the two the
  // command may send, the text itself for any other.
  std::vector<std::string> scripts() const {
    std::vector<std::string> lines;
    std::istringstream log(fs::exists(sim.file("scripts.log")) ? sim.read_file("scripts.log") : "");
    for (std::string line; std::getline(log, line);) {
      lines.push_back(line == build_locate_script(kCard) ? "locate" : line == release_script() ? "release" : line);
    }
    return lines;
  }
  // Every file of the boot volume with its contents.
  std::map<std::string, std::string> boot_files() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(sim.file("boot"))) {
      if (!entry.is_regular_file()) continue;
      const std::string name = fs::relative(entry.path(), sim.file("boot")).string();
      files[name] = sim.read_file("boot/" + name);
    }
    return files;
  }
  static std::string release_script() { return build_disk_script(kCard, "detachment", detach_script_tail()); }
  SimDir sim;
  json machine;
};

TEST_F(Customization, WritesTheFilesAndTheMergedCmdlineThenReleasesTheDisk) {
  const json files = json::array({{{"path", "firstrun.sh"}, {"contents", "#!/bin/sh\n"}},
                                  {{"contents", "no path"}},
                                  {{"path", 7}, {"contents", "no string path"}},
                                  "not an object",
                                  {{"path", "overlays\\note.txt"}, {"contents", json::array()}},
                                  {{"path", "überall.txt"}, {"contents", "grüße"}}});
  const json response = run({{"files", files}, {"cmdlineAppend", "\xE3\x80\x80 " + kAppend + " \n"}});
  EXPECT_EQ(response["payload"],
            (json{{"applied", true},
                  {"volumeGuidPath", kVolume},
                  {"files", {"firstrun.sh", "overlays\\note.txt", "überall.txt", "cmdline.txt"}}}))
      << response.dump();
  EXPECT_EQ(boot_files(), (std::map<std::string, std::string>{{"cmdline.txt", kMerged},
                                                              {"firstrun.sh", "#!/bin/sh\n"},
                                                              {"overlays/note.txt", ""},
                                                              {"überall.txt", "grüße"}}));
  EXPECT_EQ(scripts(), (std::vector<std::string>{"locate", "release"}));
  // cmdline.txt changed in one rename of a flushed temporary file.
  std::vector<std::string> cmdline_ops;
  for (const json& event : sim.events()) {
    const std::string path = event.value("path", "");
    if (!path.starts_with(kVolume + "cmdline.txt")) continue;
    cmdline_ops.push_back(event["op"].get<std::string>() + " " + path.substr(kVolume.size()));
  }
  EXPECT_EQ(cmdline_ops, (std::vector<std::string>{"open cmdline.txt", "read cmdline.txt", "read cmdline.txt",
                                                   "close cmdline.txt", "open cmdline.txt.tmp", "write cmdline.txt.tmp",
                                                   "flush cmdline.txt.tmp", "close cmdline.txt.tmp",
                                                   "replace cmdline.txt"}));
}

TEST_F(Customization, FailuresKeepEarlierWritesAndStillReleaseTheDisk) {
  const std::string cmdline_path = kVolume + "cmdline.txt";
  const std::string temporary = cmdline_path + ".tmp";
  const std::string refused = "Could not validate the boot volume GUID path: ";
  const json two_files = json::array({{{"path", "firstrun.sh"}, {"contents", "#!/bin/sh\n"}},
                                      {{"path", "second.txt"}, {"contents", "2"}}});
  const struct {
    const char* what;
    json payload;
    std::vector<json> faults;
    std::string code;
    std::string message;
    std::vector<std::string> written;  // files of the boot volume that changed
    std::string cmdline = kCmdline;
  } cases[] = {
      {"nothing asked", json::object(), {}, "", "", {}},
      {"an empty addition", {{"cmdlineAppend", ""}}, {}, "", "", {}},
      {"the second file's directory is missing",
       {{"files", {two_files[0], {{"path", "missing/second.txt"}}}}, {"cmdlineAppend", kAppend}}, {},
       "WRITE_FAILED", "missing/second.txt: " + text(3), {"firstrun.sh"}},
      {"the second file's write fails",
       {{"files", two_files}, {"cmdlineAppend", kAppend}},
       {{{"operation", "write"}, {"path", kVolume + "second.txt"}, {"error", 1117}}},
       "WRITE_FAILED", "second.txt: " + text(1117), {"firstrun.sh", "second.txt"}},
      {"a write that takes nothing",
       {{"files", two_files}},
       {{{"operation", "write"}, {"path", kVolume + "second.txt"}, {"maxBytesPerCall", 0}}},
       "WRITE_FAILED", "second.txt: failed to write whole buffer", {"firstrun.sh", "second.txt"}},
      {"a flush that fails",
       {{"files", two_files}},
       {{{"operation", "flush"}, {"path", kVolume + "firstrun.sh"}, {"error", 1117}}},
       "WRITE_FAILED", "firstrun.sh: " + text(1117), {"firstrun.sh"}},
      {"a path that leaves the root",
       {{"files", {two_files[0], {{"path", "../second.txt"}}}}}, {},
       "WRITE_FAILED", "../second.txt: Invalid first-boot file path.", {"firstrun.sh"}},
      {"a path that Windows would cut at its NUL",
       {{"files", {{{"path", std::string("cmdline.txt\0.sh", 15)}, {"contents", "x"}}}}}, {},
       "WRITE_FAILED", std::string("cmdline.txt\0.sh", 15) + ": Invalid first-boot file path.", {}},
      {"the volume leaves the disk before a file",
       {{"files", two_files}},
       {{{"operation", "extents"}, {"path", kVolume.substr(0, 48)}, {"skip", 2}, {"error", 1167}}},
       "DEVICE_NOT_REMOVABLE",
       "second.txt: " + refused + "Validated boot volume no longer belongs solely to the selected target.",
       {"firstrun.sh"}},
      {"the boot volume's file system cannot be read",
       {{"files", two_files}},
       {{{"operation", "volumeInformation"}, {"error", 1005}}},
       "DEVICE_NOT_REMOVABLE",
       refused + "Unable to read the file system of the selected boot volume: " + text(1005) +
           "; nothing was written.",
       {}},
      {"cmdline.txt is not UTF-8",
       {{"files", {two_files[0]}}, {"cmdlineAppend", kAppend}}, {},
       "WRITE_FAILED", "cmdline.txt is missing on the boot partition: stream did not contain valid UTF-8",
       {"firstrun.sh"}, "console=tty1 \xC3(\n"},
      {"cmdline.txt is missing",
       {{"cmdlineAppend", kAppend}}, {},
       "WRITE_FAILED", "cmdline.txt is missing on the boot partition: " + text(2), {}, ""},
      {"the temporary cmdline file cannot be written",
       {{"cmdlineAppend", kAppend}},
       {{{"operation", "write"}, {"path", temporary}, {"afterBytes", 5}, {"error", 112}}},
       "WRITE_FAILED", "cmdline.txt: " + text(112), {}},
      {"the rename fails",
       {{"files", {two_files[0]}}, {"cmdlineAppend", kAppend}},
       {{{"operation", "replace"}, {"path", cmdline_path}, {"error", 5}}},
       "WRITE_FAILED", "cmdline.txt: " + text(5), {"firstrun.sh"}},
  };
  for (const auto& c : cases) {
    SetUp();
    if (c.cmdline.empty()) {
      fs::remove(sim.file("boot/cmdline.txt"));
    } else {
      sim.write_file("boot/cmdline.txt", c.cmdline);
    }
    for (const json& f : c.faults) machine["faults"].push_back(f);
    const auto before = boot_files();
    const json response = run(c.payload);
    if (c.code.empty()) {
      EXPECT_EQ(response["payload"]["files"], json::array()) << c.what << response.dump();
    } else {
      EXPECT_EQ(response["errorCode"], c.code) << c.what << response.dump();
      EXPECT_EQ(response["errorMessage"], c.message) << c.what;
    }
    std::vector<std::string> changed;
    for (const auto& [name, contents] : boot_files()) {
      if (!before.contains(name) || before.at(name) != contents) changed.push_back(name);
    }
    EXPECT_EQ(changed, c.written) << c.what;
    std::size_t created = 0;
    for (const std::string& name : c.written) created += before.contains(name) ? 0 : 1;
    EXPECT_EQ(boot_files().size(), before.size() + created) << c.what << ": a temporary file stayed";
    EXPECT_EQ(scripts(), (std::vector<std::string>{"locate", "release"})) << c.what;
  }
}

TEST_F(Customization, OnlyFatAndExfatBootVolumesAreWritten) {
  const struct {
    std::string file_system;
    std::string reason;  // empty: written
  } cases[] = {
      {"FAT32", ""}, {"FAT", ""}, {"exFAT", ""},
      {"NTFS", "NTFS"}, {"ReFS", "ReFS"}, {"fat32", "fat32"}, {"", "(none)"},
  };
  for (const auto& c : cases) {
    SetUp();
    machine["volumes"][0]["fileSystem"] = c.file_system;
    const auto before = boot_files();
    const json response = run({{"files", {{{"path", "firstrun.sh"}, {"contents", "x"}}}}, {"cmdlineAppend", "y"}});
    EXPECT_EQ(scripts().size(), 2u) << c.file_system;
    if (c.reason.empty()) {
      EXPECT_EQ(response["ok"], true) << c.file_system << response.dump();
      continue;
    }
    EXPECT_EQ(response["errorCode"], "DEVICE_NOT_REMOVABLE");
    EXPECT_EQ(response["errorMessage"], "Could not validate the boot volume GUID path: The selected boot volume has "
                                        "the file system " + c.reason +
                                        "; only FAT, FAT32 and exFAT boot volumes are written to. Nothing was "
                                        "written.");
    EXPECT_EQ(boot_files(), before) << c.file_system;
  }
}

TEST_F(Customization, TheReleaseDecidesOnlyAfterASuccess) {
  const json one_file = {{"files", {{{"path", "firstrun.sh"}, {"contents", "x"}}}}};
  const std::string release_refused =
      "Target serial changed after preparation; customization release was not started.";
  const struct {
    const char* what;
    bool locate_fails;
    bool release_fails;
    bool swap_before_release;
    std::string code;
    std::string message;
  } cases[] = {
      {"a failing release after a success", false, true, false, "UNKNOWN", "Set-Disk : release failed"},
      {"a failing release after a failure", true, true, false, "UNKNOWN", "Get-Partition : locate failed"},
      {"a card swapped before the release", false, false, true, "DEVICE_NOT_REMOVABLE", release_refused},
      {"a card swapped after a failure", true, false, true, "UNKNOWN", "Get-Partition : locate failed"},
  };
  for (const auto& c : cases) {
    SetUp();
    if (c.locate_fails) sim.write_file("locate.err", "Get-Partition : locate failed");
    if (c.release_fails) sim.write_file("release.err", "Set-Disk : release failed");
    // The drive is opened once by the first identity check and once by each
    // proof: two when the boot volume is located, one more per file.
    if (c.swap_before_release) {
      machine["faults"] = {{{"operation", "swap"},
                            {"path", "\\\\.\\PhysicalDrive2"},
                            {"afterOpens", c.locate_fails ? 1 : 3},
                            {"serial", "OTHER"}}};
    }
    const json response = run(one_file);
    EXPECT_EQ(response["errorCode"], c.code) << c.what << response.dump();
    EXPECT_EQ(response["errorMessage"], c.message) << c.what;
    EXPECT_EQ(sim.read_file("boot/firstrun.sh"), c.locate_fails ? "an older and longer first-run script\n" : "x")
        << c.what;
    EXPECT_EQ(scripts().size(), c.swap_before_release ? 1u : 2u) << c.what;
  }
}

TEST_F(Customization, NoReleaseWithoutAProvenIdentity) {
  const struct {
    json payload;
    std::string code;
    std::string message;
  } cases[] = {
      {{{"osDevicePath", "\\\\.\\Disk2"}}, "UNKNOWN", "Could not parse PhysicalDrive number from \\\\.\\Disk2"},
      {{{"expectedIdentity", {{"physicalDriveNumber", "PhysicalDrive2"}, {"sizeBytes", kCardSize}, {"serial", "x"}}}},
       "DEVICE_NOT_REMOVABLE", "Target serial changed after preparation; customization was not started."},
  };
  for (const auto& c : cases) {
    SetUp();
    json payload = c.payload;
    payload["cmdlineAppend"] = kAppend;
    const json response = run(payload);
    EXPECT_EQ(response["errorCode"], c.code);
    EXPECT_EQ(response["errorMessage"], c.message);
    EXPECT_TRUE(scripts().empty());
    EXPECT_EQ(sim.read_file("boot/cmdline.txt"), kCmdline);
  }
}

}  // namespace
}  // namespace wh
