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

namespace wh::testing {

struct DiskCase {
  std::string name;
  nlohmann::json request;  // "{images}" stands for the card images' folder
  nlohmann::json answer;   // the response, without its speeds
  bool hold_exclusive = false;  // another program holds the request's drive open, sharing nothing
};

struct DiskTable {
  nlohmann::json disks;  // number, image, vendor, product, serial, busType, removableMedia, readOnly, corrupt
  std::vector<DiskCase> cases;
  std::map<std::uint32_t, std::string> final_images;  // what each disk holds after the cases
};

DiskTable load_disk_table(const std::string& path);

// The request's text, with `images` (a folder path as the platform spells
// it) in place of "{images}".
std::string request_text(const DiskCase& c, const std::string& images);

// A response line as the table keeps it: speeds differ from run to run.
nlohmann::json comparable_answer(const std::string& line);

}  // namespace wh::testing
