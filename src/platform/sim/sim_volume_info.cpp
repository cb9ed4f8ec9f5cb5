// What the simulated Windows tells of a volume by its name or root: where it
// is mounted (GetVolumePathNamesForVolumeNameW), its label and file system
// (GetVolumeInformationW) and its space (GetDiskFreeSpaceExW), all from
// machine.json and the volume's directory.
#include <cctype>
#include <filesystem>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_file_system.h"
#include "platform/sim/sim_mount.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_sharing.h"
#include "platform/sim/sim_volume_files.h"
#include "platform/sim/sim_volume_paths.h"
#include "platform/unicode.h"

namespace wh::sim {
namespace {

constexpr std::string_view kVolumePrefix = "\\\\?\\volume{";

bool is_drive_root(const std::string& root) {
  return root.size() == 3 && root[1] == ':' && root[2] == '\\' && std::isalpha(static_cast<unsigned char>(root[0]));
}

// The present volume that `root` names: its GUID path with the trailing
// backslash, or "X:\" of a letter it holds. 123 for a name of another form,
// 3 when no present volume answers to it.
OsResult<SimVolume*> root_volume(SimMachine& machine, const std::string& root) {
  if (auto error = invalid_name(root)) return Err(*error);
  const std::string wanted = ascii_lower(root);
  if (!is_drive_root(root) && !(wanted.starts_with(kVolumePrefix) && wanted.ends_with("}\\"))) {
    return Err(win32_error(kErrorInvalidName));
  }
  for (SimVolume& volume : machine.volumes) {
    if (!volume_present(machine, volume)) continue;
    if (ascii_lower(volume.name) == wanted) return &volume;
    for (const std::string& letter : volume.letters) {
      if (is_drive_root(root) && ascii_lower(letter + ":\\") == wanted) return &volume;
    }
  }
  return Err(win32_error(kErrorPathNotFound));
}

// The bytes of the files in `directory` and below; links are not followed.
std::uint64_t directory_bytes(const std::string& directory) {
  namespace fs = std::filesystem;
  std::uint64_t total = 0;
  std::error_code ignored;
  if (directory.empty() || !fs::is_directory(directory, ignored)) return 0;
  for (auto it = fs::recursive_directory_iterator(directory, ignored); it != fs::recursive_directory_iterator();
       it.increment(ignored)) {
    if (it->is_regular_file(ignored) && !it->is_symlink(ignored)) total += it->file_size(ignored);
  }
  return total;
}

}  // namespace

OsResult<std::vector<std::string>> SimPlatform::volume_path_names(const std::string& name) {
  if (auto error = invalid_name(name)) return Err(*error);
  if (auto error = fault("pathNames", name)) return Err(*error);
  const std::string wanted = ascii_lower(name);
  if (!wanted.starts_with(kVolumePrefix) || !wanted.ends_with("}\\")) return Err(win32_error(kErrorInvalidName));
  for (const SimVolume& volume : machine.volumes) {
    if (!volume_present(machine, volume) || ascii_lower(volume.name) != wanted) continue;
    std::vector<std::string> paths;
    for (const std::string& letter : volume.letters) paths.push_back(letter + ":\\");
    return paths;
  }
  return Err(win32_error(kErrorFileNotFound));
}

// Reaching the file system: a lock (of any handle, in any process) keeps the
// call out, a RAW volume has none, and a dismounted one is mounted again, as
// any access to it does on Windows.
OsResult<SimVolume*> SimPlatform::reach_file_system(const std::string& root, std::string_view operation) {
  if (auto error = fault(operation, root)) return Err(*error);
  auto found = root_volume(machine, root);
  if (!found) return Err(found.error());
  const std::string name = (*found)->name;
  const auto use = state.volume_use.find(ascii_lower(name));
  if ((use != state.volume_use.end() && use->second.locked_by != nullptr) ||
      sharing_lock_held(machine.directory, volume_lock_name(name))) {
    return Err(win32_error(kErrorAccessDenied));
  }
  if (!(*found)->mounted && (*found)->file_system != "RAW") {
    change_machine([&](SimMachine& changed) {
      SimVolume* volume = find_volume(changed, name);
      if (volume == nullptr) return;
      (void)load_volume_files(changed, *volume);  // a failure is in the event log
      volume->mounted = volume->file_system != "RAW";
      const SimDrive* drive = volume->extents.empty() ? nullptr : find_drive(changed, volume->extents.front().disk);
      if (volume->mounted && volume->file_system == "FAT32" && drive != nullptr) {
        apply_mount_side_effects(*drive, changed.directory, "access");
      }
    });
    found = root_volume(machine, root);
    if (!found) return Err(found.error());
  }
  if ((*found)->file_system == "RAW") return Err(win32_error(kErrorUnrecognizedVolume));
  return *found;
}

OsResult<VolumeInformation> SimPlatform::volume_root_information(const std::string& root) {
  auto volume = reach_file_system(root, "volumeInformation");
  if (!volume) return Err(volume.error());
  return VolumeInformation{(*volume)->file_system, (*volume)->serial_number, (*volume)->label};
}

OsResult<VolumeSpace> SimPlatform::volume_space(const std::string& root) {
  auto volume = reach_file_system(root, "freeSpace");
  if (!volume) return Err(volume.error());
  std::uint64_t total = 0;
  for (const SimExtent& extent : (*volume)->extents) total += extent.length;
  if ((*volume)->capacity_bytes) total = *(*volume)->capacity_bytes;
  const std::uint64_t used = (*volume)->used_bytes.value_or(directory_bytes((*volume)->directory));
  return VolumeSpace{total, total - std::min(used, total)};
}

}  // namespace wh::sim
