// The disks Windows needs beside the one it runs from: the system partition
// it started from, the disks holding the file of a virtual disk it runs
// from (native VHD boot), and the volumes holding a page file. machine.json
// marks them: a volume's `systemPartition` and `pageFile`, a drive's
// `hostVolume` (docs/simulated-windows.md).
#include "platform/sim/sim_drive_handle.h"
#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_platform.h"

namespace wh::sim {

OsResult<std::string> SimPlatform::system_directory() { return machine.windows_directory + "\\System32"; }

OsResult<std::optional<std::string>> SimPlatform::system_partition() {
  if (auto error = fault("systemPartition", "")) return Err(*error);
  for (const SimVolume& volume : machine.volumes) {
    if (volume.system_partition) return std::optional<std::string>(volume.name);
  }
  return std::optional<std::string>();
}

OsResult<std::vector<std::string>> SimPlatform::page_files() {
  if (auto error = fault("pageFiles", "")) return Err(*error);
  std::vector<std::string> paths;
  for (const SimVolume& volume : machine.volumes) {
    if (!volume.page_file || !volume_present(machine, volume)) continue;
    paths.push_back((volume.letters.empty() ? volume.name : volume.letters.front() + ":\\") + "pagefile.sys");
  }
  return paths;
}

OsResult<std::vector<std::string>> SimDriveHandle::virtual_disk_hosts() {
  if (auto error = check("virtualDiskHosts")) return Err(*error);
  auto current = drive();
  if (!current) return Err(current.error());
  if (!(*current)->host_volume) return Err(win32_error(kErrorInvalidFunction));
  return std::vector<std::string>{*(*current)->host_volume};
}

}  // namespace wh::sim
