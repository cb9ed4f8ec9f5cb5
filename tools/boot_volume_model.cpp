// The boot-volume script of apply_customization on the simulated machine, and
// what Windows does with the volumes of a disk that comes online: it mounts
// them, and a FAT volume's files appear in its directory (sim_volume_files.h).
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <regex>

#include "disk_format.h"
#include "platform/sim/sim_file_system.h"
#include "platform/sim/sim_volume_files.h"
#include "storage_model.h"

namespace wh::tools {
namespace {

using nlohmann::ordered_json;
using sim::SimDrive;
using sim::SimVolume;

constexpr const char* kNoPartition = "Boot partition 1 was not found on the selected disk.";
constexpr const char* kNoGuidPath = "Boot partition 1 did not expose a valid volume GUID path.";

// Partition 1 of the drive's MBR: the first used entry of the table.
std::optional<PartitionRange> partition_one(const SimDrive& drive) {
  const auto partitions = sim::mbr_partitions(drive);
  if (partitions.empty()) return std::nullopt;
  return PartitionRange{partitions.front().offset, partitions.front().length};
}

// What the script's -notmatch accepts, ignoring case as PowerShell does.
bool looks_like_guid_path(const std::string& name) {
  static const std::regex pattern(R"(^\\\\\?\\Volume\{[0-9A-Fa-f-]+\}\\$)", std::regex::icase);
  return std::regex_search(name, pattern);
}

}  // namespace

void StorageModel::mount(SimVolume& volume, std::uint32_t disk) {
  // A failed extraction is in the event log; the volume is mounted anyway.
  (void)sim::load_volume_files(machine_, volume);
  volume.mounted = volume.file_system != "RAW";
  effect("mount", disk, {{"volume", volume.name}, {"fileSystem", volume.file_system}});
}

void StorageModel::mount_disk_volumes(SimDrive& drive) {
  for (SimVolume& volume : machine_.volumes) {
    if (sim::volume_on_disk(volume, drive.number)) mount(volume, drive.number);
  }
}

void StorageModel::save_volume_files(SimVolume& volume) {
  // A failed write-back is in the event log; Windows' dismount goes on.
  (void)sim::save_volume_files(machine_, volume);
}

void StorageModel::locate_boot_volume(SimDrive& drive, Outcome& outcome) {
  bring_online_writable(drive);
  // Start-Sleep: the stand-in does not wait.
  if (auto message = failure("Get-Partition")) {
    outcome = stopped("Get-Partition", *message);
    return;
  }
  const auto partition = partition_one(drive);
  if (!partition) {
    outcome = {1, "", std::string(kNoPartition) + "\r\n"};
    return;
  }
  SimVolume* volume = nullptr;
  for (SimVolume& v : machine_.volumes) {
    for (const sim::SimExtent& extent : v.extents) {
      if (extent.disk == drive.number && extent.starting_offset == partition->offset) volume = &v;
    }
  }
  if (volume == nullptr) {
    SimVolume fresh;
    fresh.name = new_volume_name();
    fresh.extents.push_back({drive.number, partition->offset, partition->length});
    fresh.mounted = false;
    machine_.volumes.push_back(std::move(fresh));
    volume = &machine_.volumes.back();
  }
  // The volume of an online disk is mounted when it is used.
  if (!drive.offline && (!volume->mounted || !volume->files_loaded)) mount(*volume, drive.number);
  if (volume->letters.empty()) {
    std::optional<std::string> refused = failure("Add-PartitionAccessPath");
    const auto letter = free_drive_letter(machine_);
    if (!refused && !letter) refused = "No drive letter is free.";
    if (refused) {
      outcome = stopped("Add-PartitionAccessPath", *refused);
      return;
    }
    volume->letters.push_back(*letter);
    effect("letterAssigned", drive.number, {{"letter", *letter}, {"volume", volume->name}});
  }
  std::optional<std::string> no_volume = failure("Get-Volume");
  if (!no_volume && drive.offline) no_volume = "The disk is offline.";
  if (no_volume) {
    outcome = stopped("Get-Volume", *no_volume);
    return;
  }
  if (!looks_like_guid_path(volume->name)) {
    outcome = {1, "", std::string(kNoGuidPath) + "\r\n"};
    return;
  }
  const ordered_json record = {{"DiskNumber", drive.number}, {"PartitionNumber", 1},
                               {"DriveLetter", volume->letters.front()}, {"VolumeGuidPath", volume->name}};
  outcome = {0, record.dump(-1, ' ', false, ordered_json::error_handler_t::replace) + "\r\n", ""};
}

}  // namespace wh::tools
