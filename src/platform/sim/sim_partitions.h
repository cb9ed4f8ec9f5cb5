// The volume manager's view of a disk's partition table: the MBR's used
// entries, one volume for each, and what Windows does when it reads the
// table again (IOCTL_DISK_UPDATE_PROPERTIES, or the disk arriving anew):
// volumes of vanished partitions go, new partitions get volumes, and the
// volumes are mounted; on removable media a mounted volume without a drive
// letter gets one (automount), as Windows gives removable drives letters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"

namespace wh::sim {

struct SimPartition {
  std::uint64_t offset = 0;  // bytes
  std::uint64_t length = 0;
  std::uint8_t type = 0;
};

// The used entries of the drive's MBR, in table order (Windows numbers an MBR
// disk's partitions so). None without the 55 AA signature, or on a GPT
// disk's protective MBR (an entry of type 0xEE).
std::vector<SimPartition> mbr_partitions(const SimDrive& drive);

// A volume GUID path with a fresh random GUID, trailing backslash included.
std::string new_volume_name();

// The first drive letter from D that no volume has.
std::optional<std::string> free_drive_letter(const SimMachine& machine);

// Windows reads drive `disk`'s partition table again and mounts what it
// finds. Volumes whose first extent starts where no partition does are
// removed without a write-back (their file system is gone with the table).
// Every change is logged in the machine's events.log as
// {"op": "volumeManager", "effect": "removed" | "arrived" | "letterAssigned", ...}.
void rescan_partitions(SimMachine& machine, std::uint32_t disk);

}  // namespace wh::sim
