#include "disk_cases.h"

#include <array>
#include <fstream>
#include <map>
#include <sstream>

namespace wh::testing {

using nlohmann::json;

DiskTable load_disk_table(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const json table = json::parse(text.str());
  DiskTable loaded;
  loaded.disks = table.at("disks");
  loaded.volumes = table.at("volumes");
  loaded.volume_steps = table.at("volumeSteps");
  for (const json& c : table.at("cases")) {
    loaded.cases.push_back({c.at("name"), c.at("request"), c.at("answer"), c.value("holdExclusive", false)});
  }
  for (const auto& [disk, image] : table.at("finalImages").items()) {
    loaded.final_images[static_cast<std::uint32_t>(std::stoul(disk))] = image.get<std::string>();
  }
  return loaded;
}

std::string request_text(const DiskCase& c, const std::string& images) {
  json request = c.request;
  json& payload = request["payload"];
  if (payload.contains("imagePath")) {
    std::string image = payload["imagePath"];
    const std::string mark = "{images}";
    if (image.starts_with(mark)) image = images + image.substr(mark.size());
    payload["imagePath"] = image;
  }
  return request.dump();
}

json comparable_answer(const std::string& line) {
  json answer = json::parse(line, /*cb=*/nullptr, /*allow_exceptions=*/false);
  if (answer.is_discarded()) return line;
  if (answer.contains("payload") && answer["payload"].is_object()) {
    answer["payload"].erase("speedBps");
    answer["payload"].erase("verifySpeedBps");
  }
  return answer;
}

namespace {

std::uint32_t code_of(const OsStatus& status) { return status ? 0 : status.error().code; }

// The volume's device path: its GUID path without the trailing backslash.
std::string device_of(const json& volume) {
  std::string name = volume.at("name");
  if (name.ends_with("\\")) name.pop_back();
  return name;
}

// One sector, read and written back unchanged, in memory that meets the raw
// drive's alignment (static storage: the stack is not reliably realigned).
alignas(512) std::array<std::uint8_t, 512> sector;

std::uint32_t rewrite_sector(Handle& drive, std::uint64_t offset) {
  if (auto seek = drive.seek(offset); !seek) return seek.error().code;
  auto got = drive.read(sector);
  if (!got) return got.error().code;
  if (auto seek = drive.seek(offset); !seek) return seek.error().code;
  auto put = drive.write(sector);
  return put ? 0 : put.error().code;
}

}  // namespace

std::vector<std::string> run_volume_steps(Platform& platform, const DiskTable& table, bool wine) {
  std::vector<std::string> failures;
  std::map<std::string, HandlePtr> handles;
  for (const json& step : table.volume_steps) {
    const std::string what = step.at("do");
    const std::string name = step.at("handle");
    const std::string described = step.dump();
    std::uint32_t code = 0;
    if (what == "openDrive" || what == "openVolume") {
      auto opened = what == "openDrive"
                        ? platform.open_drive_exclusive_write("\\\\.\\PhysicalDrive" + step.at("drive").dump())
                        : platform.open_volume(device_of(table.volumes.at(step.at("volume").get<std::size_t>())),
                                               VolumeAccess::kReadWrite);
      if (opened) handles[name] = std::move(opened).value();
      code = opened ? 0 : opened.error().code;
    } else if (what == "close") {
      handles.erase(name);
      continue;
    } else if (!handles.count(name)) {
      failures.push_back(described + ": no such handle");
      continue;
    } else if (what == "write") {
      code = rewrite_sector(*handles[name], step.at("offset"));
    } else if (what == "lock") {
      code = code_of(handles[name]->lock_volume());
    } else if (what == "dismount") {
      code = code_of(handles[name]->dismount_volume());
    } else if (what == "extents") {
      auto disks = handles[name]->volume_disk_extents();
      if (!disks) {
        failures.push_back(described + ": " + disks.error().text());
      } else if (json(*disks) != step.at("disks")) {
        failures.push_back(described + ": got " + json(*disks).dump());
      }
      continue;
    } else {
      failures.push_back(described + ": unknown step");
      continue;
    }
    const json& expected = wine && step.contains("wineCode") ? step.at("wineCode") : step.at("code");
    if (code != expected) failures.push_back(described + ": got " + std::to_string(code));
  }
  return failures;
}

}  // namespace wh::testing
