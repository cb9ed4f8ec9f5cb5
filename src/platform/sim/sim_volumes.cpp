// The volume manager's side of the simulated Windows: volume devices, their
// enumeration, and the mount points that lead to them.
#include <cctype>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_volume_handle.h"
#include "platform/sim/sim_volume_paths.h"
#include "platform/unicode.h"

namespace wh::sim {

OsResult<HandlePtr> SimPlatform::open_volume(const std::string& name, VolumeAccess access) {
  if (auto error = invalid_name(name)) return Err(*error);
  const char* mode = access == VolumeAccess::kReadWrite ? "volumeReadWrite" : "volumeRead";
  if (auto error = fault("open", name, mode)) return Err(*error);
  const std::string wanted = ascii_lower(name);
  for (const SimVolume& volume : machine.volumes) {
    if (!volume_present(machine, volume)) continue;
    const std::string root = ascii_lower(volume.name);  // with its trailing backslash
    // The name with its backslash is the root directory, which CreateFileW
    // opens only with FILE_FLAG_BACKUP_SEMANTICS.
    if (wanted == root) return Err(win32_error(kErrorAccessDenied));
    if (wanted + "\\" != root) continue;
    if (!machine.elevated) return Err(win32_error(kErrorAccessDenied));
    if (auto error = count_open(name)) return Err(*error);
    const bool writable = access == VolumeAccess::kReadWrite;
    log_event({{"op", "open"}, {"path", name}, {"mode", writable ? "volumeReadWrite" : "volumeRead"}});
    return HandlePtr(std::make_unique<SimVolumeHandle>(*this, name, volume.name, writable));
  }
  return Err(win32_error(kErrorFileNotFound));
}

OsResult<std::vector<std::string>> SimPlatform::list_volumes() {
  if (auto error = fault("listVolumes", "")) return Err(*error);
  std::vector<std::string> names;
  for (const SimVolume& volume : machine.volumes) {
    if (volume_present(machine, volume)) names.push_back(volume.name);
  }
  return names;
}

OsResult<std::string> SimPlatform::windows_directory() { return machine.windows_directory; }

OsResult<std::string> SimPlatform::volume_path_name(const std::string& path) {
  if (auto error = invalid_name(path)) return Err(*error);
  constexpr std::size_t kGuidRoot = 49;  // "\\?\Volume{" GUID "}\"
  if (ascii_lower(path).starts_with("\\\\?\\volume{") && path.size() >= kGuidRoot) return path.substr(0, kGuidRoot);
  const bool lettered = path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
  if (!lettered) return Err(win32_error(kErrorInvalidName));
  return path.substr(0, 2) + "\\";
}

OsResult<std::string> SimPlatform::volume_name_for_mount_point(const std::string& mount_point) {
  if (auto error = invalid_name(mount_point)) return Err(*error);
  if (mount_point.size() != 3 || mount_point[1] != ':' || mount_point[2] != '\\') {
    return Err(win32_error(kErrorInvalidName));
  }
  const std::string letter = ascii_lower(mount_point.substr(0, 1));
  for (const SimVolume& volume : machine.volumes) {
    if (!volume_present(machine, volume)) continue;
    for (const std::string& held : volume.letters) {
      if (ascii_lower(held) == letter) return volume.name;
    }
  }
  return Err(win32_error(kErrorFileNotFound));
}

}  // namespace wh::sim
