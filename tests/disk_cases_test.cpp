// The disk commands' table on the simulated Windows: the same cards, the same
// requests in the same order and the same answers as the Windows build gives
// under Wine through the stand-in disk driver.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "disk_cases.h"
#include "frame/entry.h"
#include "frame/output.h"
#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;

std::string card_image(const std::string& name) { return std::string(CARD_IMAGES_DIR) + "/" + name; }

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The table's disks as drives of a simulated machine, each backed by a copy
// of its image. Windows under Wine has no file system to mount on the stand-in
// driver's disks, so the simulated mount changes no bytes either.
json machine_of(const testing::DiskTable& table, const testing::SimDir& dir) {
  json machine = {{"elevated", true},
                  {"sleepScale", 0.0},
                  {"drives", json::array()},
                  {"volumes", json::array()},
                  {"faults", json::array()}};
  for (const json& disk : table.disks) {
    const std::string backing = dir.file("disk" + disk["number"].dump() + ".img");
    std::filesystem::copy_file(card_image(disk["image"]), backing);
    json drive = {{"number", disk["number"]},         {"backingFile", backing},
                  {"vendor", disk["vendor"]},         {"product", disk["product"]},
                  {"serial", disk["serial"]},         {"busType", disk["busType"]},
                  {"removableMedia", disk["removableMedia"]}, {"readOnly", disk.value("readOnly", false)},
                  {"mountSideEffects", false}};
    if (disk.contains("logicalSectorBytes")) drive["logicalSectorBytes"] = disk["logicalSectorBytes"];
    machine["drives"].push_back(drive);
    if (disk.contains("corrupt")) {
      machine["faults"].push_back({{"operation", "corrupt"},
                                   {"path", "\\\\.\\PhysicalDrive" + disk["number"].dump()},
                                   {"offset", disk["corrupt"]["offset"]},
                                   {"bytesHex", disk["corrupt"]["bytesHex"]}});
    }
  }
  for (const json& volume : table.volumes) {
    machine["volumes"].push_back(
        {{"name", volume["name"]},
         {"extents", {{{"disk", volume["disk"]}, {"startingOffset", volume["startingOffset"]}, {"length", volume["length"]}}}}});
  }
  return machine;
}

TEST(DiskCases, TheSimulatedWindowsAnswersTheTable) {
  const testing::DiskTable table = testing::load_disk_table(DISK_CASES_PATH);
  testing::SimDir dir;
  dir.write_machine(machine_of(table, dir));
  for (const testing::DiskCase& c : table.cases) {
    SCOPED_TRACE(c.name);
    // A fresh platform for each request, as each is a process of its own.
    sim::SimPlatform platform = dir.platform();
    sim::SimPlatform holder = dir.platform();
    HandlePtr held;
    if (c.hold_exclusive) {
      auto opened = holder.open_drive_exclusive_read(c.request["payload"]["osDevicePath"]);
      ASSERT_TRUE(opened.ok()) << opened.error().text();
      held = std::move(opened).value();
    }
    CapturedLines out;
    run_helper({"--request", testing::request_text(c, CARD_IMAGES_DIR)}, platform, out);
    ASSERT_FALSE(out.lines.empty());
    EXPECT_EQ(testing::comparable_answer(out.lines.back()), c.answer) << out.lines.back();
  }
  sim::SimPlatform platform = dir.platform();
  for (const std::string& failure : testing::run_volume_steps(platform, table, /*wine=*/false)) ADD_FAILURE() << failure;
  for (const auto& [disk, image] : table.final_images) {
    EXPECT_TRUE(dir.read_file("disk" + std::to_string(disk) + ".img") == read_bytes(card_image(image)))
        << "disk " << disk << " should hold " << image;
  }
}

}  // namespace
}  // namespace wh
