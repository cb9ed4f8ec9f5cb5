// apply_customization end to end on a realistic card in the simulated
// Windows: the PowerShell stand-in brings partition 1 online with the card's
// FAT files, the helper writes through the volume GUID path, and the release
// step's detach writes them back to the card's bytes, where mtools reads them.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "flash_fixture.h"
#include "frame/entry.h"
#include "frame/output.h"
#include "platform/sim/sim_partitions.h"
#include "platform/sim/sim_machine_file.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::SimDir;

constexpr std::uint64_t kBootOffset = 8192 * 512;  // card.img's partition 1
const std::string kAppend = "systemd.run=/boot/firstrun.sh systemd.run_success_action=reboot "
                            "systemd.unit=kernel-command-line.target";

class CustomizeCard : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.install_fake_powershell();
    fresh_card();
  }
  // A freshly written card; the first run meets it as prepare_disk and the
  // raw write leave it (written()).
  void fresh_card() {
    std::filesystem::copy_file(std::string(CARD_IMAGES_DIR) + "/card.img", sim.file("card.img"),
                               std::filesystem::copy_options::overwrite_existing);
    size = std::filesystem::file_size(sim.file("card.img"));
    machine = {{"elevated", true},
               {"sleepScale", 0},
               {"drives", {{{"number", 2}, {"backingFile", "card.img"}, {"serial", "SD-2"}}}}};
    mounted = false;
    original_cmdline = card_file("cmdline.txt");
    ASSERT_NE(original_cmdline, "");
  }
  // A removable card stays online through prepare_disk, and once the writer
  // announced the new partition table Windows mounted its partitions, giving
  // partition 1 a drive letter.
  void written() {
    auto card = sim::machine_from_json(machine, sim.path());
    ASSERT_TRUE(card.ok());
    sim::rescan_partitions(*card, 2);
    machine = sim::machine_to_json(*card);
    mounted = true;
  }
  json run(json more) {
    if (!mounted) written();
    sim.write_machine(machine);
    auto platform = sim.platform();
    more["osDevicePath"] = "\\\\.\\PhysicalDrive2";
    more["expectedIdentity"] = {{"physicalDriveNumber", "\\\\.\\PhysicalDrive2"}, {"sizeBytes", size}, {"serial", "sd-2"}};
    CapturedLines out;
    const json request{{"id", "c1"}, {"sessionId", "s1"}, {"command", "apply_customization"}, {"payload", more}};
    run_helper({"--request", request.dump()}, platform, out);
    EXPECT_EQ(out.lines.size(), 1u);
    return json::parse(out.lines.back());
  }
  // mtools' view of a file on the card's boot partition, or "" when missing.
  std::string card_file(const std::string& name) const {
    const std::string command = "MTOOLS_SKIP_CHECK=1 mtype -i '" + sim.file("card.img") + "@@" +
                                std::to_string(kBootOffset) + "' '::/" + name + "' > '" + sim.file("out") +
                                "' 2>/dev/null";
    return std::system(command.c_str()) == 0 ? sim.read_file("out") : "";
  }
  // As the release step leaves it: every volume of the card dismounted and
  // without a letter (the card stays online: Windows will not take removable
  // media offline).
  bool card_released() const {
    const json machine_now = sim.machine();  // kept alive for the loop
    for (const json& volume : machine_now["volumes"]) {
      if (volume["extents"][0]["disk"] != 2) continue;
      if (volume.value("mounted", true) || !volume.value("letters", json::array()).empty()) return false;
    }
    return true;
  }
  SimDir sim;
  json machine;
  std::uint64_t size = 0;
  std::string original_cmdline;
  bool mounted = false;
};

TEST_F(CustomizeCard, FilesAndTheMergedCmdlineReachTheCardWhichIsReleasedAgain) {
  const json response =
      run({{"files", {{{"path", "firstrun.sh"}, {"contents", "#!/bin/bash\necho first boot\n"}},
                      {{"path", "overlays/custom.txt"}, {"contents", "überall"}}}},
           {"cmdlineAppend", kAppend}});
  ASSERT_EQ(response["ok"], true) << response.dump();
  EXPECT_EQ(response["payload"]["files"], json::array({"firstrun.sh", "overlays/custom.txt", "cmdline.txt"}));
  const json after = sim.machine();
  for (const json& volume : after["volumes"]) {
    if (volume["extents"][0]["startingOffset"] == kBootOffset) {
      EXPECT_EQ(response["payload"]["volumeGuidPath"], volume["name"]);
    }
  }
  EXPECT_EQ(card_file("firstrun.sh"), "#!/bin/bash\necho first boot\n");
  EXPECT_EQ(card_file("overlays/custom.txt"), "überall");
  const std::string merged = card_file("cmdline.txt");
  EXPECT_TRUE(merged.ends_with(" " + kAppend + "\n")) << merged;
  EXPECT_EQ(merged.find('\n'), merged.size() - 1) << merged;
  EXPECT_EQ(card_file("cmdline.txt.tmp"), "");
  EXPECT_TRUE(card_released());
  // Repeating it changes nothing.
  EXPECT_EQ(run({{"cmdlineAppend", kAppend}})["ok"], true);
  EXPECT_EQ(card_file("cmdline.txt"), merged);
}

TEST_F(CustomizeCard, FailuresLeaveTheCardConsistentAndReleased) {
  const json first = {{"path", "firstrun.sh"}, {"contents", "#!/bin/bash\n"}};
  const struct {
    const char* what;
    json payload;
    json faults;
    std::string code;
    std::string message_start;
    std::string firstrun;  // the card's firstrun.sh afterwards
  } cases[] = {
      {"nothing asked", json::object(), json::array(), "", "", ""},
      {"the second file fails",
       {{"files", {first, {{"path", "no/such/dir.txt"}, {"contents", "x"}}}}, {"cmdlineAppend", kAppend}},
       json::array(), "WRITE_FAILED", "no/such/dir.txt: The system cannot find the path specified.", "#!/bin/bash\n"},
      {"a path cut at its NUL",
       {{"files", {{{"path", std::string("cmdline.txt\0.sh", 15)}, {"contents", "x"}}}}}, json::array(),
       "WRITE_FAILED", std::string("cmdline.txt\0.sh", 15) + ": Invalid first-boot file path.", ""},
      {"the rename of cmdline.txt fails",
       {{"files", {first}}, {"cmdlineAppend", kAppend}},
       {{{"operation", "replace"}, {"error", 5}}}, "WRITE_FAILED", "cmdline.txt: Access is denied.", "#!/bin/bash\n"},
  };
  for (const auto& c : cases) {
    fresh_card();
    machine["faults"] = c.faults;
    const json response = run(c.payload);
    if (c.code.empty()) {
      EXPECT_EQ(response["payload"]["files"], json::array()) << c.what << response.dump();
    } else {
      EXPECT_EQ(response["errorCode"], c.code) << c.what << response.dump();
      EXPECT_TRUE(response["errorMessage"].get<std::string>().starts_with(c.message_start)) << c.what << response.dump();
    }
    EXPECT_EQ(card_file("firstrun.sh"), c.firstrun) << c.what;
    EXPECT_EQ(card_file("cmdline.txt"), original_cmdline) << c.what;
    EXPECT_EQ(card_file("cmdline.txt.tmp"), "") << c.what;
    EXPECT_TRUE(card_released()) << c.what;
  }
}

TEST_F(CustomizeCard, AnOversizedCmdlineIsRefusedUnread) {
  sim.write_file("big.txt", std::string(1024 * 1024 + 1, 'a'));
  const std::string put = "MTOOLS_SKIP_CHECK=1 mcopy -o -i '" + sim.file("card.img") + "@@" +
                          std::to_string(kBootOffset) + "' '" + sim.file("big.txt") + "' ::/cmdline.txt";
  ASSERT_EQ(std::system(put.c_str()), 0);
  const json response = run({{"cmdlineAppend", kAppend}});
  EXPECT_EQ(response["errorCode"], "WRITE_FAILED") << response.dump();
  EXPECT_EQ(response["errorMessage"], "cmdline.txt is missing on the boot partition: the file is larger than 1 MiB");
  EXPECT_EQ(card_file("cmdline.txt").size(), 1024u * 1024 + 1);
  EXPECT_TRUE(card_released());
}

TEST_F(CustomizeCard, ABootPartitionThatIsNotFatIsNeverWrittenTo) {
  // An image can bring any file system, and NTFS links could lead the
  // elevated helper's writes onto the host's own files.
  {
    std::fstream card(sim.file("card.img"), std::ios::in | std::ios::out | std::ios::binary);
    card.seekp(kBootOffset + 3);
    card.write("NTFS    ", 8);
  }
  const json response = run({{"files", {{{"path", "firstrun.sh"}, {"contents", "x"}}}}, {"cmdlineAppend", kAppend}});
  EXPECT_EQ(response["errorCode"], "DEVICE_NOT_REMOVABLE") << response.dump();
  EXPECT_NE(response["errorMessage"].get<std::string>().find("NTFS"), std::string::npos) << response.dump();
  for (const json& event : sim.events()) {
    EXPECT_NE(event.value("mode", ""), "fileWrite") << event.dump();
  }
  EXPECT_TRUE(card_released());
}

TEST_F(CustomizeCard, ACardSwappedBeforeTheReleaseIsRefused) {
  // The drive is opened by the first identity check, the boot volume's proof
  // and the one file's proof; the release's check finds another card.
  machine["faults"] = {{{"operation", "swap"}, {"path", "\\\\.\\PhysicalDrive2"}, {"afterOpens", 3}, {"serial", "OTHER"}}};
  const json response = run({{"files", {{{"path", "firstrun.sh"}, {"contents", "x"}}}}});
  EXPECT_EQ(response["errorCode"], "DEVICE_NOT_REMOVABLE") << response.dump();
  EXPECT_EQ(response["errorMessage"], "Target serial changed after preparation; customization release was not started.");
}

}  // namespace
}  // namespace wh
