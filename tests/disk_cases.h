// The disk commands' table, disk_cases.json: a few cards, with identities
// and contents, and requests run against them in order with the answers
// every build of the helper must give. The Linux build runs it on the
// simulated Windows, the Windows build under Wine through the stand-in disk
// driver, so both prove the same bytes and answers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace wh::testing {

struct DiskCase {
  std::string name;
  nlohmann::json request;  // "{images}" stands for the card images' folder
  nlohmann::json answer;   // the response, without its speeds
  bool hold_exclusive = false;  // another program holds the request's drive open, sharing nothing
};

struct DiskTable {
  // number, image, vendor, product, serial, busType, removableMedia, readOnly, corrupt, logicalSectorBytes
  nlohmann::json disks;
  nlohmann::json volumes;  // name, disk, startingOffset, length: one mounted extent each
  std::vector<DiskCase> cases;
  nlohmann::json volume_steps;  // run through the platform itself (run_volume_steps)
  std::map<std::uint32_t, std::string> final_images;  // what each disk holds after the cases
};

DiskTable load_disk_table(const std::string& path);

// The request's text, with `images` (a folder path as the platform spells
// it) in place of "{images}".
std::string request_text(const DiskCase& c, const std::string& images);

// A response line as the table keeps it: speeds differ from run to run.
nlohmann::json comparable_answer(const std::string& line);

// The table's volume steps, straight through `platform`: drive and volume
// opens, raw writes into and beside a mounted volume, its extents, locks and
// dismounts. Volume paths are used by name, since Wine's volume list shows
// only volumes of its own. Each step that did not give its expected code or
// disks is described in the result; a write puts back the bytes it read.
// Under Wine (`wine`) a step's "wineCode", where it has one, is expected
// instead: Wine's ntdll keeps some volume controls from the driver.
std::vector<std::string> run_volume_steps(Platform& platform, const DiskTable& table, bool wine);

}  // namespace wh::testing
