// list_disks on the simulated Windows: the native probe, and when it cannot
// answer for every drive, PowerShell's Get-Disk listing.
#include <filesystem>

#include <gtest/gtest.h>

#include "discovery/list_disks.h"
#include "list_disks_machine.h"
#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using namespace testing;

// An NVMe system disk, a USB card reader, an SD card, a write-protected SD
// card and a fixed SATA disk, with PowerShell's Get-Disk answering from the
// drives themselves.
json realistic_machine(const std::vector<json>& faults = {}) {
  const std::vector<json> drives = {
      card(0, {{"vendor", "NVMe"}, {"product", "Samsung SSD 980 PRO 1TB"}, {"busType", 17},
               {"removableMedia", false}, {"sizeBytes", 1000204886016}, {"isSystem", true}, {"isBoot", true}}),
      card(1, {{"product", "STORAGE DEVICE"}, {"serial", "   000000123   "}}),
      card(2, {{"vendor", nullptr}, {"product", "SD32G"}, {"serial", "0xa1b2c3d4"}, {"busType", 12},
               {"sizeBytes", 31268536320}}),
      card(3, {{"vendor", nullptr}, {"product", "SD16G"}, {"busType", 12}, {"readOnly", true}}),
      sata_disk(),
  };
  return {{"elevated", true}, {"drives", drives}, {"faults", faults}};
}

TEST(ListDisks, ARealisticMachineListsTheCardsAndNeverOpensTheSystemDisk) {
  Outcome run = list_disks_on(realistic_machine());
  EXPECT_EQ(run.response.dump(),
            R"({"id":"l1","ok":true,"payload":{"disks":[)"
            R"({"bsdDisk":"PhysicalDrive1","id":"PhysicalDrive1","internal":false,"isBoot":false,"isSystem":false,)"
            R"("model":"Generic STORAGE DEVICE","mountPoints":[],"osDevicePath":"\\\\.\\PhysicalDrive1",)"
            R"("rawDisk":"\\\\.\\PhysicalDrive1","removable":true,"serial":"000000123","sizeBytes":31914983424,)"
            R"("targetType":"usb-drive","usbPath":"Bus:USB","vendor":"Generic","writable":true},)"
            R"({"bsdDisk":"PhysicalDrive2","id":"PhysicalDrive2","internal":false,"isBoot":false,"isSystem":false,)"
            R"("model":"SD32G","mountPoints":[],"osDevicePath":"\\\\.\\PhysicalDrive2",)"
            R"("rawDisk":"\\\\.\\PhysicalDrive2","removable":true,"serial":"0xa1b2c3d4","sizeBytes":31268536320,)"
            R"("targetType":"memory-card","usbPath":"Bus:SD","vendor":"SD","writable":true}]}})");
  EXPECT_EQ(run.state.opens.count("\\\\.\\physicaldrive0"), 0u);
  for (const char* path : {"\\\\.\\physicaldrive1", "\\\\.\\physicaldrive2", "\\\\.\\physicaldrive3",
                           "\\\\.\\physicaldrive4"}) {
    EXPECT_EQ(run.state.opens[path], 1u) << path;
  }
  for (const auto& [number, use] : run.state.drive_use) EXPECT_EQ(use.handles, 0) << number;
  EXPECT_EQ(run.scripts, std::vector<std::string>{kProtectedDisksScript});
}

TEST(ListDisks, OnTheRealisticMachineOneUnreadableDescriptorHandsOverToGetDisk) {
  // Get-Disk's members unchanged: the serial keeps its padding, the vendor is
  // the bus name, and there is no targetType.
  Outcome run = list_disks_on(realistic_machine({{{"operation", "descriptor"}, {"path", "\\\\.\\PhysicalDrive4"}}}));
  EXPECT_EQ(run.response.dump(),
            R"({"id":"l1","ok":true,"payload":{"disks":[)"
            R"({"bsdDisk":"PhysicalDrive1","id":"PhysicalDrive1","internal":false,"isBoot":false,"isSystem":false,)"
            R"("model":"Generic STORAGE DEVICE","mountPoints":[],"osDevicePath":"\\\\.\\PhysicalDrive1",)"
            R"("rawDisk":"\\\\.\\PhysicalDrive1","removable":true,"serial":"   000000123   ","sizeBytes":31914983424,)"
            R"("usbPath":"Bus:USB","vendor":"USB","writable":true},)"
            R"({"bsdDisk":"PhysicalDrive2","id":"PhysicalDrive2","internal":false,"isBoot":false,"isSystem":false,)"
            R"("model":"SD32G","mountPoints":[],"osDevicePath":"\\\\.\\PhysicalDrive2",)"
            R"("rawDisk":"\\\\.\\PhysicalDrive2","removable":true,"serial":"0xa1b2c3d4","sizeBytes":31268536320,)"
            R"("usbPath":"Bus:SD","vendor":"SD","writable":true}]}})");
  EXPECT_EQ(run.scripts, (std::vector<std::string>{kProtectedDisksScript, kDiskListingScript}));
}

TEST(ListDisks, TheProbeAnswersWhenEveryDriveItReachedWasDescribed) {
  const struct {
    const char* name;
    json machine;
    std::vector<std::string> ids;
  } cases[] = {
      {"a fixed disk only gives an empty list", machine({sata_disk()}), {}},
      {"a drive without length beside a card", machine({card(1, {{"sizeBytes", 0}}), card(2)}), {"PhysicalDrive2"}},
      {"a drive that cannot be opened", machine({card(1), card(2)}, {{{"operation", "open"}, {"path", "\\\\.\\PhysicalDrive1"}}}),
       {"PhysicalDrive2"}},
      {"a failing attributes query counts as writable", machine({card(1)}, {{{"operation", "attributes"}}}),
       {"PhysicalDrive1"}},
      {"a read-only card", machine({card(1, {{"readOnly", true}}), card(2)}), {"PhysicalDrive2"}},
      {"a USB bus without RemovableMedia, and RemovableMedia on SATA",
       machine({card(1, {{"removableMedia", false}}), card(2, {{"busType", 11}})}), {"PhysicalDrive1", "PhysicalDrive2"}},
      {"ascending order", machine({card(3), card(1)}), {"PhysicalDrive1", "PhysicalDrive3"}},
      {"drives past 127 are not probed", machine({card(127), card(128)}), {"PhysicalDrive127"}},
      {"a boot disk is protected", machine({card(1), card(2)}, {}, answers(R"({"Number":1,"IsBoot":true})")),
       {"PhysicalDrive2"}},
      {"a fractional Number protects nothing",
       machine({card(1)}, {}, answers(R"([{"Number":1.0,"IsSystem":true}])")), {"PhysicalDrive1"}},
      {"a Number beyond 32 bits protects nothing",
       machine({card(1)}, {}, answers(R"([{"Number":4294967297,"IsSystem":true}])")), {"PhysicalDrive1"}},
      {"Get-Disk reports nothing", machine({card(1)}, {}, answers("null")), {"PhysicalDrive1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = list_disks_on(c.machine);
    EXPECT_EQ(ids(run.response), c.ids);
    EXPECT_EQ(run.scripts, std::vector<std::string>{kProtectedDisksScript});
  }
}

TEST(ListDisks, AMalformedDescriptorIsReadOnlyWithinTheReply) {
  // 40 bytes claiming a Size of 4096: the vendor offset points past the reply,
  // the product is the reply's last byte without a NUL, the serial offset is
  // 0xFFFFFFFF. The sanitizer build catches any read beyond the 40 bytes.
  const std::string past_the_reply =
      "28000000" "00100000" "00000100" "30000000" "27000000" "00000000" "ffffffff" "07000000" "00000000"
      "00000050";
  // Size 36 inside a 48-byte reply: a vendor text at 40 lies outside it.
  const std::string beyond_size =
      "28000000" "24000000" "00000100" "28000000" "00000000" "00000000" "00000000" "0c000000" "00000000"
      "00000000" "41636d65" "00000000";
  const Outcome run = list_disks_on(machine({card(1, {{"descriptorHex", past_the_reply}, {"serial", "unused"}}),
                                             card(2, {{"descriptorHex", beyond_size}})}));
  const json& disks = run.response.at("payload").at("disks");
  ASSERT_EQ(disks.size(), 2u) << run.response.dump();
  EXPECT_EQ(disks[0]["model"], "P");
  EXPECT_EQ(disks[0]["vendor"], "USB");
  EXPECT_EQ(disks[0]["serial"], nullptr);
  EXPECT_EQ(disks[0]["targetType"], "usb-drive");
  EXPECT_EQ(disks[1]["model"], "Removable storage");
  EXPECT_EQ(disks[1]["vendor"], "SD");
  EXPECT_EQ(disks[1]["targetType"], "memory-card");
}

TEST(ListDisks, TheHelperProcessAnswersOnTheMachineNamedByTheEnvironment) {
  SimDir sim;
  sim.write_machine(machine({card(0, {{"busType", 17}, {"removableMedia", false}}), card(1, {{"vendor", "Acme"},
                             {"product", "Acme Ultra"}, {"serial", "AC-1"}, {"sizeBytes", 4096}})}));
  sim.write_file("drive.img", "");
  sim.install_fake_powershell();
  ::setenv("WINDOWS_HELPER_SIM_DIR", sim.path().c_str(), 1);
  sim::SimPlatform host{sim::SimMachine{}};
  auto run = host.run_process(WINDOWS_HELPER_BINARY,
                              {"--request", R"({"id":"p","sessionId":"s","command":"list_disks"})"});
  ::unsetenv("WINDOWS_HELPER_SIM_DIR");
  ASSERT_TRUE(run.ok());
  EXPECT_EQ(run->exit_code, 0u);
  EXPECT_EQ(run->standard_error, "");
  EXPECT_EQ(run->standard_output,
            R"({"id":"p","ok":true,"payload":{"disks":[{"bsdDisk":"PhysicalDrive1","id":"PhysicalDrive1",)"
            R"("internal":false,"isBoot":false,"isSystem":false,"model":"Acme Ultra","mountPoints":[],)"
            R"("osDevicePath":"\\\\.\\PhysicalDrive1","rawDisk":"\\\\.\\PhysicalDrive1","removable":true,)"
            R"("serial":"AC-1","sizeBytes":4096,"targetType":"usb-drive","usbPath":"Bus:USB","vendor":"Acme",)"
            R"("writable":true}]}})"
            "\n");
  EXPECT_EQ(sim.powershell_log(), std::vector<std::string>{kProtectedDisksScript});
}


// With includeUnavailable, the readers the user may be looking at but cannot
// write now are listed too, each saying why; without it, nothing changes.
TEST(ListDisks, IncludeUnavailableListsBusyWriteProtectedAndEmptyReaders) {
  const json described = machine({card(1), card(2, {{"readOnly", true}}), card(3, {{"noMedium", true}}), sata_disk(),
                                  card(5), card(6, {{"sizeBytes", 0}})},
                                 {{{"operation", "open"}, {"path", "\\\\.\\PhysicalDrive5"}, {"error", 32}}});
  EXPECT_EQ(ids(list_disks_on(described).response), std::vector<std::string>{"PhysicalDrive1"});
  EXPECT_EQ(ids(list_disks_on(described, {{"includeUnavailable", false}}).response),
            std::vector<std::string>{"PhysicalDrive1"});
  EXPECT_FALSE(list_disks_on(described).response["payload"]["disks"][0].contains("available"));

  const json disks = list_disks_on(described, {{"includeUnavailable", true}}).response["payload"]["disks"];
  const struct {
    const char* id;
    bool available;
    const char* reason;  // nullptr: none
    std::uint64_t size;
    bool writable;
  } rows[] = {
      {"PhysicalDrive1", true, nullptr, 31914983424, true},
      {"PhysicalDrive2", false, "write-protected", 31914983424, false},
      {"PhysicalDrive3", false, "no-medium", 0, true},
      {"PhysicalDrive5", false, "busy", 0, false},
      {"PhysicalDrive6", false, "no-medium", 0, true},
  };
  ASSERT_EQ(disks.size(), std::size(rows)) << disks.dump();
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].id);
    EXPECT_EQ(disks[i]["id"], rows[i].id);
    EXPECT_EQ(disks[i]["available"], rows[i].available);
    EXPECT_EQ(disks[i].contains("unavailableReason"), rows[i].reason != nullptr);
    if (rows[i].reason) EXPECT_EQ(disks[i]["unavailableReason"], rows[i].reason);
    EXPECT_EQ(disks[i]["sizeBytes"], rows[i].size);
    EXPECT_EQ(disks[i]["writable"], rows[i].writable);
  }
  // Of a busy drive nothing is known but where it is.
  EXPECT_EQ(disks[3]["model"], "Unknown");
  EXPECT_EQ(disks[3]["removable"], false);
  EXPECT_EQ(disks[3]["serial"], nullptr);
  // A busy card alone is still the probe's to tell: Get-Disk would list it as free.
  const json busy_alone = list_disks_on(machine({card(5)}, {{{"operation", "open"}, {"path", "\\\\.\\PhysicalDrive5"},
                                                            {"error", 32}}}),
                                        {{"includeUnavailable", true}}).response["payload"]["disks"];
  ASSERT_EQ(busy_alone.size(), 1u) << busy_alone.dump();
  EXPECT_EQ(busy_alone[0]["unavailableReason"], "busy");
}

// With includeVolumes, each disk names its volumes as Windows shows them;
// a volume spanning disks says so on each, one on a disk not listed is
// nowhere, and one without a mount point is not asked about (that would
// mount it again).
TEST(ListDisks, IncludeVolumesNamesEachDisksVolumes) {
  SimDir photos;
  std::filesystem::create_directory(photos.file("DCIM"));
  photos.write_file("DCIM/IMG_0001.JPG", std::string(3000, 'j'));
  photos.write_file("notes.txt", "holiday");
  const auto volume = [](char id, std::vector<int> disks, json more) {
    json v = {{"name", std::string("\\\\?\\Volume{") + std::string(8, id) + "-0000-1111-2222-333344445555}\\"},
              {"extents", json::array()}};
    for (int disk : disks) v["extents"].push_back({{"disk", disk}, {"startingOffset", 1 << 20}, {"length", 1 << 24}});
    v.update(more);
    return v;
  };
  json described = realistic_machine();
  described["volumes"] = {
      volume('a', {0}, {{"letters", {"C"}}, {"fileSystem", "NTFS"}}),
      volume('b', {1}, {{"letters", {"E"}}, {"label", "HOLIDAY"}, {"directory", photos.path()}}),
      volume('c', {1}, {{"mounted", false}}),
      volume('d', {2, 4}, {{"letters", {"G"}}, {"fileSystem", "exFAT"}, {"usedBytes", 5000}, {"capacityBytes", 9000}}),
      volume('e', {2}, {{"letters", {"F"}}, {"fileSystem", "RAW"}, {"mounted", false}}),
  };
  EXPECT_FALSE(list_disks_on(described).response["payload"]["disks"][0].contains("volumes"));
  const json disks = list_disks_on(described, {{"includeVolumes", true}}).response["payload"]["disks"];
  ASSERT_EQ(disks.size(), 2u) << disks.dump();
  const json card_volumes = disks[0]["volumes"];
  ASSERT_EQ(card_volumes.size(), 2u) << card_volumes.dump();
  EXPECT_EQ(card_volumes[0].dump(),
            R"({"capacityBytes":16777216,"fileSystem":"FAT32","folders":[],"label":"HOLIDAY","letters":["E:"],)"
            R"("spansDisks":false,"usedBytes":3007,"volumeGuidPath":"\\\\?\\Volume{bbbbbbbb-0000-1111-2222-333344445555}\\"})");
  EXPECT_EQ(card_volumes[1].dump(),
            R"({"folders":[],"letters":[],"spansDisks":false,"volumeGuidPath":"\\\\?\\Volume{cccccccc-0000-1111-2222-333344445555}\\"})");
  const json sd_volumes = disks[1]["volumes"];
  ASSERT_EQ(sd_volumes.size(), 2u) << sd_volumes.dump();
  EXPECT_EQ(sd_volumes[0]["spansDisks"], true);
  EXPECT_EQ(sd_volumes[0]["usedBytes"], 5000);
  EXPECT_EQ(sd_volumes[0]["capacityBytes"], 9000);
  EXPECT_EQ(sd_volumes[1]["fileSystem"], "RAW");
  EXPECT_FALSE(sd_volumes[1].contains("capacityBytes"));
  for (const json& disk : disks) EXPECT_EQ(disk["mountPoints"], json::array());
}

}  // namespace
}  // namespace wh
