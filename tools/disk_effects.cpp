// What the four disk scripts do to the simulated machine: read-only cleared,
// letters removed and volumes dismounted, the disk taken offline, brought
// back online, or wiped to one exFAT volume.
#include <algorithm>

#include "disk_format.h"
#include "platform/sim/sim_events.h"
#include "platform/sim/sim_mount.h"
#include "storage_model.h"

namespace wh::tools {
namespace {

using nlohmann::json;
using sim::SimDrive;
using sim::SimVolume;

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// -match and -notmatch ignore case.
bool tolerated_by_prepare(const std::string& message) {
  const std::string text = lower(message);
  for (const char* allowed : {"not supported", "access is denied", "access denied"}) {
    if (text.find(allowed) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

void StorageModel::dismount(SimVolume& volume, std::uint32_t disk) {
  // A forced dismount invalidates other programs' handles.
  const bool releases = volume.held_by && volume.held_by->until_force_dismount;
  if (!volume.mounted && !releases) return;
  save_volume_files(volume);
  volume.mounted = false;
  if (releases) volume.held_by.reset();
  effect("dismount", disk, {{"volume", volume.name}});
}

void StorageModel::prepare(SimDrive& drive, Outcome& outcome) {
  // Set-Disk -IsReadOnly $false -ErrorAction Stop, in a try whose catch lets
  // only refusals of the change pass.
  std::optional<std::string> refused = failure("Set-Disk", "IsReadOnly");
  if (!refused && drive.write_protect_switch) refused = "Not Supported";
  if (refused && !tolerated_by_prepare(*refused)) {
    outcome = stopped("Set-Disk", *refused);
    return;
  }
  if (!refused && drive.read_only) {
    drive.read_only = false;
    effect("readOnlyCleared", drive.number);
  }
  release_partitions(drive);
}

void StorageModel::detach(SimDrive& drive) {
  if (!failure("Get-Partition") && !failure("Eject")) {
    // The shell's Eject takes the letters away and dismounts.
    for (SimVolume& volume : machine_.volumes) {
      if (!sim::volume_on_disk(volume, drive.number) || volume.letters.empty()) continue;
      for (const std::string& letter : volume.letters) effect("eject", drive.number, {{"letter", letter}});
      volume.letters.clear();
      dismount(volume, drive.number);
    }
  }
  release_partitions(drive);
}

void StorageModel::release_partitions(SimDrive& drive) {
  if (!failure("Get-Partition")) {
    for (SimVolume& volume : machine_.volumes) {
      if (!sim::volume_on_disk(volume, drive.number)) continue;
      // A partition has one DriveLetter; mountvol /P also dismounts.
      if (!volume.letters.empty()) {
        const bool mountvol = !failure("mountvol.exe");
        if (!failure("Remove-PartitionAccessPath") || mountvol) {
          effect("letterRemoved", drive.number, {{"letter", volume.letters.front()}, {"volume", volume.name}});
          volume.letters.erase(volume.letters.begin());
        }
        if (mountvol) dismount(volume, drive.number);
      }
      if (!failure("Get-Volume") && !failure("Dismount-Volume")) dismount(volume, drive.number);
    }
  }
  if (drive.removable_media && !drive.offline) {
    // Windows refuses it ("Set-Disk : Not Supported"); the scripts swallow
    // the error, and the card stays online with its volumes dismounted.
    effect("offlineRefused", drive.number, {{"message", "Removable media cannot be set to offline."}});
  } else if (!failure("Set-Disk", "IsOffline") && !drive.offline) {
    // The volumes leave with the disk; what their files hold is written first.
    for (SimVolume& volume : machine_.volumes) {
      if (sim::volume_on_disk(volume, drive.number)) save_volume_files(volume);
    }
    drive.offline = true;
    effect("offline", drive.number);
  }
}

void StorageModel::bring_online_writable(SimDrive& drive) {
  bool came_online = false;
  if (!failure("Set-Disk", "IsOffline") && drive.offline) {
    drive.offline = false;
    came_online = true;
    effect("online", drive.number);
  }
  // The card's switch is beyond Set-Disk.
  if (!failure("Set-Disk", "IsReadOnly") && !drive.write_protect_switch && drive.read_only) {
    drive.read_only = false;
    effect("readOnlyCleared", drive.number);
  }
  // Windows mounts the volumes of a disk that comes online; a FAT32 card's
  // bytes change with it.
  if (came_online) {
    sim::apply_mount_side_effects(drive, machine_.directory, "online");
    mount_disk_volumes(drive);
  }
}

void StorageModel::reformat(SimDrive& drive, const std::string& label, Outcome& outcome) {
  bring_online_writable(drive);
  if (auto message = failure("Clear-Disk")) {
    outcome = stopped("Clear-Disk", *message);
    return;
  }
  if (sim::drive_read_only(drive)) {
    outcome = stopped("Clear-Disk", "The media is write protected.");
    return;
  }
  if (auto error = clear_disk(drive)) {
    outcome = stopped("Clear-Disk", *error);
    return;
  }
  std::erase_if(machine_.volumes, [&](const SimVolume& v) { return sim::volume_on_disk(v, drive.number); });
  drive.partition_style = "RAW";
  effect("clear", drive.number);
  if (auto message = failure("Initialize-Disk")) {
    outcome = stopped("Initialize-Disk", *message);
    return;
  }
  drive.partition_style = "MBR";
  effect("initialize", drive.number, {{"partitionStyle", "MBR"}});
  if (auto message = failure("New-Partition")) {
    outcome = stopped("New-Partition", *message);
    return;
  }
  auto partition = write_single_partition_mbr(drive);
  if (!partition) {
    outcome = stopped("New-Partition", partition.error());
    return;
  }
  SimVolume volume;
  volume.name = new_volume_name();
  volume.extents.push_back({drive.number, partition->offset, partition->length});
  volume.mounted = false;  // RAW until formatted
  if (auto letter = free_drive_letter(machine_)) volume.letters.push_back(*letter);
  machine_.volumes.push_back(volume);
  effect("partition", drive.number, {{"volume", volume.name}, {"offset", partition->offset},
                                      {"length", partition->length}, {"letters", volume.letters}});
  std::optional<std::string> refused = failure("Format-Volume");
  if (!refused && !exfat_label_fits(label)) refused = "The volume label is not valid for the exFAT file system.";
  if (!refused) refused = format_exfat(drive, *partition, label);
  if (refused) {
    outcome = stopped("Format-Volume", *refused);
    return;
  }
  machine_.volumes.back().label = label;  // exFAT keeps it in its root directory, which the mount does not read
  mount(machine_.volumes.back(), drive.number);
  effect("format", drive.number, {{"volume", volume.name}, {"fileSystem", "exFAT"}, {"label", label}});
}

}  // namespace wh::tools
