// What the disk stack does around raw writes to a drive: Windows Vista's
// protection of mounted volumes, and the mount of the new file system once
// the writer has announced it (IOCTL_DISK_UPDATE_PROPERTIES) and let go of
// the disk.
#include <algorithm>

#include "platform/sim/sim_mount.h"
#include "platform/sim/sim_partitions.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_sharing.h"
#include "platform/sim/sim_volume_files.h"
#include "platform/unicode.h"

namespace wh::sim {

void SimPlatform::mount_after_rewrite(std::uint32_t disk) {
  const SimDrive* drive = find_drive(machine, disk);
  // An offline disk's volumes mount when it comes online (the PowerShell
  // stand-in's Set-Disk).
  if (drive != nullptr && !drive->offline) state.pending_mounts.insert(disk);
}

void SimPlatform::settle_mounts() {
  for (auto it = state.pending_mounts.begin(); it != state.pending_mounts.end();) {
    const std::uint32_t disk = *it;
    const bool written_now = state.drive_use[disk].exclusive;
    const bool locked = written_now || std::any_of(machine.volumes.begin(), machine.volumes.end(), [&](const SimVolume& v) {
      return volume_on_disk(v, disk) && state.volume_use[ascii_lower(v.name)].locked_by != nullptr;
    });
    if (locked) {
      ++it;
      continue;
    }
    it = state.pending_mounts.erase(it);
    const SimDrive* drive = find_drive(machine, disk);
    if (drive != nullptr && !drive->offline && apply_mount_side_effects(*drive, machine.directory, "rescan")) {
      state.events.push_back("mount " + std::to_string(disk));
    }
    // The volume manager follows the new partition table and mounts what it
    // finds; a removable card's FAT volume gets a drive letter.
    // Under the machine's lock, on the machine as it is now: helpers
    // writing other cards at the same moment get other letters.
    if (drive != nullptr && !drive->offline) {
      change_machine([disk](SimMachine& changed) { rescan_partitions(changed, disk); });
    }
  }
}

bool SimPlatform::raw_write_allowed(std::uint32_t disk, std::uint64_t offset, std::uint64_t length) {
  for (const SimVolume& volume : machine.volumes) {
    const VolumeUse& use = state.volume_use[ascii_lower(volume.name)];
    if (!volume.mounted || !volume_present(machine, volume) || use.locked_by != nullptr) continue;
    const bool overlap = std::any_of(volume.extents.begin(), volume.extents.end(), [&](const SimExtent& extent) {
      if (extent.disk != disk || extent.length == 0) return false;
      // Half-open ranges meet when the later one starts inside the earlier
      // one; differences, not sums, so nothing wraps.
      return offset < extent.starting_offset ? extent.starting_offset - offset < length
                                             : offset - extent.starting_offset < extent.length;
    });
    // The lock is the volume's, whichever process holds it; asked only on
    // an overlap, since it costs a file open.
    if (overlap && !sharing_lock_held(machine.directory, volume_lock_name(volume.name))) return false;
  }
  return true;
}

}  // namespace wh::sim
