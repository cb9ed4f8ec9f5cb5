#include "target/windows_disk.h"

#include "target/volume_locks.h"

namespace wh {

Result<std::vector<std::uint32_t>, std::string> windows_disks(Platform& platform) {
  auto directory = platform.windows_directory();
  if (!directory) return Err("the Windows directory is unknown: " + directory.error().text());
  auto mount_point = platform.volume_path_name(*directory);
  if (!mount_point) return Err("the volume of " + *directory + " is unknown: " + mount_point.error().text());
  auto volume_name = platform.volume_name_for_mount_point(*mount_point);
  if (!volume_name) {
    const std::uint32_t code = volume_name.error().code;
    if (code == kErrorFileNotFound || code == kErrorPathNotFound) return std::vector<std::uint32_t>{};
    return Err("no volume name for " + *mount_point + ": " + volume_name.error().text());
  }
  auto volume = open_target_volume(platform, *volume_name, VolumeAccess::kRead);
  if (!volume) return Err("cannot open " + *volume_name + ": " + volume.error().text());
  auto disks = (*volume)->volume_disk_extents();
  if (!disks) return Err("the disks of " + *volume_name + " are unknown: " + disks.error().text());
  return std::move(disks).value();
}

}  // namespace wh
