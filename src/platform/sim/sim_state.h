// What one process's simulated Windows keeps in memory beside machine.json:
// opens and faults counted, share modes and locks held, the clock's extra
// time, and the mounts waiting for a disk to be released.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace wh::sim {

struct DriveUse {
  int handles = 0;         // open handles on the drive
  bool exclusive = false;  // one of them was opened with share mode 0
};

struct VolumeUse {
  const Handle* locked_by = nullptr;  // the handle holding FSCTL_LOCK_VOLUME
};

struct SimState {
  std::map<std::string, std::uint32_t> opens;  // successful opens, by lower-cased path
  std::set<std::string> gone;                  // devices that have disappeared
  std::vector<std::uint32_t> fault_hits;       // times each fault fired, by index
  std::vector<std::uint32_t> fault_skips;      // matching operations let through, by index
  std::map<std::uint32_t, DriveUse> drive_use; // by drive number
  std::map<std::string, VolumeUse> volume_use; // by lower-cased volume name
  // "lock <volume>", "unlock <volume>", "dismount <volume>", "sparse <path>",
  // "mount <disk number>", in order
  std::vector<std::string> events;
  Instant skipped_sleep{0};
  std::uint64_t bytes_moved = 0;  // by reads and writes, for the clock
  // Disks rewritten through a drive handle since closed, whose FAT volume
  // Windows mounts once none of their volumes is locked any more.
  std::set<std::uint32_t> pending_mounts;
};

}  // namespace wh::sim
