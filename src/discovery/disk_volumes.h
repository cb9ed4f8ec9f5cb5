// The volumes on each listed disk, as Windows names them to its users:
// drive letters, label, file system, capacity and bytes used. The volumes
// are found through their disk extents; label and file system come from
// GetVolumeInformationW, capacity and use from GetDiskFreeSpaceExW.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace wh {

// A volume and the disks under its extents, each once, in extent order.
struct VolumePlace {
  std::string name;  // the volume GUID path, trailing backslash included
  std::vector<std::uint32_t> disks;
};

// Every volume Windows lists, with its disks. A volume that cannot be opened
// or asked for its extents lies nowhere that can be told, and is left out;
// nullopt when the enumeration itself fails.
std::optional<std::vector<VolumePlace>> volume_places(Platform& platform);

// The volume objects of the volumes on disk `number`, in enumeration order.
// Each is described once per listing: `described` keeps those already asked
// (a volume spanning two listed disks).
nlohmann::json volumes_on_disk(Platform& platform, const std::vector<VolumePlace>& places, std::uint32_t number,
                               std::map<std::string, nlohmann::json>& described);

// One volume object: `volumeGuidPath`, `letters` ("E:"), `folders` (folder
// mount points), `spansDisks`; and for a volume mounted somewhere,
// `fileSystem` ("RAW" for one without a file system), `label`,
// `capacityBytes` and `usedBytes` as far as Windows answers. A volume
// without a mount point is not asked: the call would mount it again, and
// prepare_disk leaves a card's volumes dismounted and without letters.
nlohmann::json describe_volume(Platform& platform, const VolumePlace& place);

}  // namespace wh
