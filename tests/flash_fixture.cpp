#include "flash_fixture.h"

#include <algorithm>

#include "frame/entry.h"
#include "frame/output.h"

namespace wh::testing {

using nlohmann::json;

std::string pattern_bytes(std::uint64_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>((state >> 24) | 1);
  }
  // A disk image, as write_image takes only those: an MBR's boot signature
  // over an empty partition table.
  if (size >= 512) {
    std::fill(bytes.begin() + 446, bytes.begin() + 510, '\0');
    bytes[510] = 0x55;
    bytes[511] = static_cast<char>(0xAA);
  }
  return bytes;
}

FlashMachine::FlashMachine(std::uint64_t size) : card_size(size) {
  sim.write_file("card.img", std::string(size, '\0'));
  machine = {{"elevated", true},
             {"sleepScale", 0},
             {"drives", {{{"number", 2}, {"backingFile", "card.img"}, {"serial", "SD-2"}, {"busType", 12}}}}};
}

json FlashMachine::target(json more) const {
  more["osDevicePath"] = "\\\\.\\PhysicalDrive2";
  more["expectedIdentity"] = {{"physicalDriveNumber", "\\\\.\\PhysicalDrive2"}, {"sizeBytes", card_size}, {"serial", "sd-2"}};
  return more;
}

std::vector<json> FlashMachine::run(const std::string& command, const json& payload) {
  sim.write_machine(machine);
  auto platform = sim.platform();
  CapturedLines out;
  const json request{{"id", "w1"}, {"sessionId", "s1"}, {"command", command}, {"payload", payload}};
  run_helper({"--request", request.dump()}, platform, out);
  std::vector<json> lines;
  for (const std::string& line : out.lines) lines.push_back(json::parse(line));
  return lines;
}

std::vector<std::string> stages(const std::vector<json>& lines) {
  std::vector<std::string> found;
  for (const json& line : lines) {
    if (line.value("event", "") == "progress") {
      found.push_back(line["stage"].get<std::string>() + " " + line["message"].get<std::string>());
    }
  }
  return found;
}

}  // namespace wh::testing
