#include "discovery/disk_volumes.h"

#include <algorithm>

namespace wh {

using nlohmann::json;

namespace {

constexpr std::uint32_t kErrorUnrecognizedVolume = 1005;  // no file system: a RAW volume

bool is_drive_letter(const std::string& path) {
  return path.size() == 3 && path[1] == ':' && path[2] == '\\' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

}  // namespace

std::optional<std::vector<VolumePlace>> volume_places(Platform& platform) {
  auto names = platform.list_volumes();
  if (!names) return std::nullopt;
  std::vector<VolumePlace> places;
  for (const std::string& name : *names) {
    // The device, not its root directory: the name without its backslash.
    std::string device = name;
    while (!device.empty() && device.back() == '\\') device.pop_back();
    auto volume = platform.open_volume(device, VolumeAccess::kRead);
    if (!volume) continue;
    auto extents = (*volume)->volume_disk_extents();
    if (!extents || extents->empty()) continue;
    VolumePlace place{name, {}};
    for (std::uint32_t disk : *extents) {
      if (std::find(place.disks.begin(), place.disks.end(), disk) == place.disks.end()) place.disks.push_back(disk);
    }
    places.push_back(std::move(place));
  }
  return places;
}

json describe_volume(Platform& platform, const VolumePlace& place) {
  json letters = json::array();
  json folders = json::array();
  auto paths = platform.volume_path_names(place.name);
  if (paths) {
    for (const std::string& path : *paths) {
      if (is_drive_letter(path)) {
        letters.push_back(path.substr(0, 2));
      } else {
        folders.push_back(path);
      }
    }
  }
  json volume = {{"volumeGuidPath", place.name},
                 {"letters", letters},
                 {"folders", folders},
                 {"spansDisks", place.disks.size() > 1}};
  if (!paths || paths->empty()) return volume;
  if (auto information = platform.volume_root_information(place.name)) {
    volume["fileSystem"] = information->file_system;
    volume["label"] = information->label;
  } else if (information.error().code == kErrorUnrecognizedVolume) {
    volume["fileSystem"] = "RAW";
    return volume;
  }
  if (auto space = platform.volume_space(place.name)) {
    volume["capacityBytes"] = space->total_bytes;
    volume["usedBytes"] = space->total_bytes - std::min(space->free_bytes, space->total_bytes);
  }
  return volume;
}

json volumes_on_disk(Platform& platform, const std::vector<VolumePlace>& places, std::uint32_t number,
                     std::map<std::string, json>& described) {
  json volumes = json::array();
  for (const VolumePlace& place : places) {
    if (std::find(place.disks.begin(), place.disks.end(), number) == place.disks.end()) continue;
    auto known = described.find(place.name);
    if (known == described.end()) known = described.emplace(place.name, describe_volume(platform, place)).first;
    volumes.push_back(known->second);
  }
  return volumes;
}

}  // namespace wh
