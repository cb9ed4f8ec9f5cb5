// What Windows writes to a freshly written card when it mounts its FAT32
// boot partition: FAT entry 1 of every FAT copy loses its clean-shutdown bit
// (fastfat marks a volume dirty while it is in use), and the FSInfo sector
// gets the free-cluster count and next-free hint that fastfat computed from
// the FAT. A verification that reads the card after such a mount finds these
// bytes changed; the simulation changes them at the moments Windows would.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sim/sim_machine.h"

namespace wh::sim {

inline constexpr std::uint32_t kFatCleanShutdownBit = 0x08000000;

struct MountSideEffect {
  std::uint64_t partition_offset = 0;  // byte offset of the FAT32 partition
  std::uint32_t fat_copies = 0;        // FAT copies whose entry 1 was marked
  // The FSInfo sector's new members; absent when the boot sector names no
  // FSInfo sector or its signatures are wrong (it is left alone then).
  std::optional<std::uint32_t> free_clusters;
  std::optional<std::uint32_t> next_free_cluster;
};

// Mounts the FAT32 file system of the first MBR partition of a FAT type
// (0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E, 0xEF) on `drive`, as Windows does,
// changing the drive's backing file. Nothing happens, and nullopt is
// returned, when the drive has `mountSideEffects` off, no card, is read-only
// (Windows mounts it read-only and writes nothing), or holds no such
// partition with a FAT32 boot sector of 512-byte sectors. A change is logged
// as {"op": "mountSideEffect", "disk", "cause", ...} in `directory`'s
// events.log.
std::optional<MountSideEffect> apply_mount_side_effects(const SimDrive& drive, const std::string& directory,
                                                        std::string_view cause);

}  // namespace wh::sim
