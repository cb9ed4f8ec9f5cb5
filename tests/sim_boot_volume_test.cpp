// The boot-volume script of customization on the PowerShell stand-in, over a
// realistic card: partition 1's volume comes online with a letter and the
// card's FAT files in its directory, and what the helper writes there reaches
// the card's bytes when the volume is let go of.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "disk_script_texts.h"
#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using namespace testing;

constexpr std::uint64_t kBootOffset = 8192 * 512;  // card.img's partition 1

// apply_customization's boot-volume script, written out from its wording.
std::string locate_tail() {
  return "; Set-Disk -InputObject $disk -IsOffline $false -ErrorAction SilentlyContinue; Set-Disk -InputObject $disk "
         "-IsReadOnly $false -ErrorAction SilentlyContinue; Start-Sleep -Milliseconds 750; $p = Get-Partition -Disk "
         "$disk -ErrorAction Stop | Where-Object { $_.PartitionNumber -eq 1 } | Select-Object -First 1; if (-not $p) "
         "{ throw 'Boot partition 1 was not found on the selected disk.' }; if (-not $p.DriveLetter -or "
         "$p.DriveLetter -eq [char]0) { Add-PartitionAccessPath -InputObject $p -AssignDriveLetter -ErrorAction "
         "Stop; Start-Sleep -Milliseconds 500; }; $p = Get-Partition -Disk $disk -ErrorAction Stop | Where-Object { "
         "$_.PartitionNumber -eq 1 } | Select-Object -First 1; if (-not $p) { throw 'Boot partition 1 was not found "
         "on the selected disk.' }; $volume = Get-Volume -Partition $p -ErrorAction Stop; $volumeGuidPath = "
         "[string]$volume.UniqueId; if ($volumeGuidPath -notmatch '^\\\\\\\\\\?\\\\Volume\\{[0-9A-Fa-f-]+\\}\\\\$') { "
         "throw 'Boot partition 1 did not expose a valid volume GUID path.' }; [pscustomobject]@{ DiskNumber = "
         "[uint32]$disk.Number; PartitionNumber = [uint32]$p.PartitionNumber; DriveLetter = [string]$p.DriveLetter; "
         "VolumeGuidPath = $volumeGuidPath } | ConvertTo-Json -Compress";
}

class BootVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(std::string(CARD_IMAGES_DIR) + "/card.img", dir.file("card.img"));
    dir.install_fake_powershell();
    // As prepare_disk and the raw write leave the card: offline, no volume.
    machine = {{"elevated", true},
               {"drives", {{{"number", 1}, {"backingFile", "card.img"}, {"serial", "AB-12"}, {"offline", true}}}},
               {"volumes", {{{"name", "\\\\?\\Volume{00000000-1111-2222-3333-444444444444}\\"}, {"letters", {"D"}},
                             {"extents", {{{"disk", 7}, {"startingOffset", 0}, {"length", 1}}}}}}}};
    dir.write_machine(machine);
  }
  ProcessOutput powershell(const std::string& script) {
    auto platform = dir.platform();
    auto out = platform.run_process(std::string(kPowerShellPath),
                                    {"-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command", script});
    if (!out) throw std::runtime_error(out.error().text());
    return *out;
  }
  std::string script(const std::string& step, const std::string& tail) const {
    return stop_and_revalidate(1, std::filesystem::file_size(dir.file("card.img")), ps_quoted(step), "'ab12'") + tail;
  }
  ProcessOutput locate() { return powershell(script("customization", locate_tail())); }
  // The card's volume in machine.json.
  json card_volume() const {
    const json now = dir.machine();
    for (const json& v : now["volumes"]) {
      if (v["extents"][0]["disk"] == 1) return v;
    }
    return nullptr;
  }
  // mtools' view of a file on the card's boot partition, or "" when missing.
  std::string card_file(const std::string& name) const {
    const std::string command = "MTOOLS_SKIP_CHECK=1 mtype -i '" + dir.file("card.img") + "@@" +
                                std::to_string(kBootOffset) + "' '::/" + name + "' > '" + dir.file("out") + "' 2>/dev/null";
    return std::system(command.c_str()) == 0 ? dir.read_file("out") : "";
  }
  SimDir dir;
  json machine;
};

TEST_F(BootVolume, PartitionOneComesOnlineWithALetterAndTheCardsFiles) {
  auto out = locate();
  ASSERT_EQ(out.exit_code, 0u) << out.standard_error;
  const json volume = card_volume();
  ASSERT_TRUE(volume.is_object()) << dir.machine().dump(1);
  const std::string name = volume["name"];
  EXPECT_TRUE(std::regex_match(name, std::regex(R"(\\\\\?\\Volume\{[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}\}\\)")))
      << name;
  EXPECT_EQ(out.standard_output, "{\"DiskNumber\":1,\"PartitionNumber\":1,\"DriveLetter\":\"E\",\"VolumeGuidPath\":" +
                                     json(name).dump() + "}\r\n");
  EXPECT_EQ(volume["extents"], json::array({{{"disk", 1}, {"startingOffset", kBootOffset}, {"length", 40 << 20}}}));
  EXPECT_EQ(volume["letters"], json::array({"E"}));  // D was taken
  EXPECT_EQ(volume["fileSystem"], "FAT32");
  EXPECT_EQ(volume["serialNumber"], 0x2024B007u);
  EXPECT_EQ(volume["mounted"], true);
  EXPECT_EQ(dir.machine()["drives"][0]["offline"], false);
  const std::string files = dir.path() + "/" + volume["directory"].get<std::string>();
  for (const char* file : {"config.txt", "cmdline.txt", "overlays/README", "LICENCE.broadcom"}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(files + "/" + file)) << file;
  }
  std::ifstream extracted(files + "/cmdline.txt", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(extracted), {}), card_file("cmdline.txt"));
  // A second run finds the same volume and keeps its letter.
  auto again = locate();
  EXPECT_EQ(again.standard_output, out.standard_output);
  EXPECT_EQ(dir.machine()["volumes"].size(), 2u);
}

TEST_F(BootVolume, RefusalsAsTheScriptThrowsThem) {
  const struct {
    const char* what;
    std::function<void(json&)> change;
    std::string standard_error;
  } cases[] = {
      {"no partition table", [&](json&) { dir.write_file("card.img", std::string(48 << 20, '\0')); },
       "Boot partition 1 was not found on the selected disk.\r\n"},
      {"no free letter for it", [](json& m) { m["powershell"]["cmdletFailures"] = {{{"cmdlet", "Add-PartitionAccessPath"}}}; },
       "Add-PartitionAccessPath : Not Supported\r\n"},
      {"a volume whose id is no GUID path",
       [](json& m) { m["volumes"].push_back({{"name", "\\\\?\\Volume{xyz}\\"}, {"letters", {"F"}},
                                             {"extents", {{{"disk", 1}, {"startingOffset", kBootOffset}, {"length", 1}}}}}); },
       "Boot partition 1 did not expose a valid volume GUID path.\r\n"},
      {"Get-Volume fails", [](json& m) { m["powershell"]["cmdletFailures"] = {{{"cmdlet", "Get-Volume"}, {"message", "x"}}}; },
       "Get-Volume : x\r\n"},
  };
  for (const auto& c : cases) {
    std::filesystem::copy_file(std::string(CARD_IMAGES_DIR) + "/card.img", dir.file("card.img"),
                               std::filesystem::copy_options::overwrite_existing);
    json changed = machine;
    c.change(changed);
    dir.write_machine(changed);
    auto out = locate();
    EXPECT_EQ(out.exit_code, 1u) << c.what;
    EXPECT_EQ(out.standard_output, "") << c.what;
    EXPECT_EQ(out.standard_error, c.standard_error) << c.what;
  }
}

TEST_F(BootVolume, AScriptOneCharacterOffIsUnknown) {
  for (const std::string& tail : {locate_tail() + " ", std::regex_replace(locate_tail(), std::regex("750"), "751"),
                                  std::regex_replace(locate_tail(), std::regex("A-Fa-f"), "A-Fa-g")}) {
    auto out = powershell(script("customization", tail));
    EXPECT_EQ(out.exit_code, 1u);
    EXPECT_EQ(out.standard_error, "fake-powershell: no answer for this script\n");
  }
  // The step name belongs to the script too.
  EXPECT_EQ(powershell(script("detachment", locate_tail())).exit_code, 1u);
  EXPECT_EQ(dir.machine()["drives"][0]["offline"], true);
}

TEST_F(BootVolume, WhatTheHelperWritesReachesTheCardWhenTheVolumeGoes) {
  ASSERT_EQ(locate().exit_code, 0u);
  const std::string root = card_volume()["name"];
  auto write = [&](sim::SimPlatform& platform, const std::string& path, const std::string& text) {
    auto file = platform.create_file_write(root + path);
    ASSERT_TRUE(file) << path << file.error().text();
    ASSERT_TRUE((*file)->write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
  };
  {
    auto platform = dir.platform();
    write(platform, "firstrun.sh", "#!/bin/bash\necho hello\n");
    write(platform, "cmdline.txt", "console=tty1 systemd.run=/boot/firstrun.sh\n");
    write(platform, "overlays\\extra.txt", "x");
    ASSERT_TRUE(platform.delete_file(root + "issue.txt"));
  }
  EXPECT_NE(card_file("issue.txt"), "");  // nothing reaches the card while mounted
  // The release step of customization: the detach script.
  ASSERT_EQ(powershell(script("detachment", kDetachTail)).exit_code, 0u);
  EXPECT_EQ(card_file("firstrun.sh"), "#!/bin/bash\necho hello\n");
  EXPECT_EQ(card_file("cmdline.txt"), "console=tty1 systemd.run=/boot/firstrun.sh\n");
  EXPECT_EQ(card_file("overlays/extra.txt"), "x");
  EXPECT_EQ(card_file("issue.txt"), "");
  EXPECT_NE(card_file("config.txt"), "");
  const json volume = card_volume();
  EXPECT_EQ(volume["mounted"], false);
  EXPECT_FALSE(volume.contains("filesLoaded"));
  // The file system is still sound; only the dirty mark of Windows' mount
  // (sim_mount.h) is left for fsck to report.
  const std::string fsck = "dd if='" + dir.file("card.img") + "' of='" + dir.file("boot.img") + "' bs=4M skip=1 count=10 "
                           "status=none && fsck.fat -n '" + dir.file("boot.img") + "' >'" + dir.file("fsck") + "' 2>&1";
  (void)std::system(fsck.c_str());
  std::istringstream report(dir.read_file("fsck"));
  const std::regex expected(R"(fsck\.fat .*|Dirty bit is set.*| Automatically removing dirty bit\.|)"
                            R"(|Leaving filesystem unchanged\.|.*: \d+ files, \d+/\d+ clusters)");
  for (std::string line; std::getline(report, line);) EXPECT_TRUE(std::regex_match(line, expected)) << line;
  // The helper's own dismount writes back too.
  ASSERT_EQ(locate().exit_code, 0u);
  auto platform = dir.platform();
  write(platform, "late.txt", "late");
  std::string device = root.substr(0, root.size() - 1);
  auto handle = platform.open_volume(device, VolumeAccess::kReadWrite);
  ASSERT_TRUE(handle);
  ASSERT_TRUE((*handle)->dismount_volume());
  EXPECT_EQ(card_file("late.txt"), "late");
  int saved = 0;
  for (const json& e : dir.events()) saved += e["op"] == "volumeFilesSaved" && !e.contains("error");
  EXPECT_EQ(saved, 2);
}

}  // namespace
}  // namespace wh
