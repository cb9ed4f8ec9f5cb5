// The bytes behind the stand-in's reformat: Clear-Disk, an MBR with one
// partition as Initialize-Disk and New-Partition leave it, and an exFAT file
// system made by mkfs.exfat (Debian's exfatprogs), so that fsck.exfat can
// check the card afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/result.h"
#include "platform/sim/sim_machine.h"
#include "platform/sim/sim_partitions.h"

namespace wh::tools {

struct PartitionRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Clear-Disk -RemoveData: the partition table and the first MiB are zeroes.
// An error text, or nullopt.
std::optional<std::string> clear_disk(const sim::SimDrive& drive);

// An MBR with one partition of type 0x07 from 1 MiB to the end of the disk
// (at most 2^32 - 1 sectors), and a fresh disk signature.
Result<PartitionRange, std::string> write_single_partition_mbr(const sim::SimDrive& drive);

// Whether exFAT takes `label`: at most 11 UTF-16 units.
bool exfat_label_fits(const std::string& label);

// mkfs.exfat on a temporary file of the partition's size, copied into the
// drive's bytes at the partition's offset. An error text, or nullopt.
std::optional<std::string> format_exfat(const sim::SimDrive& drive, const PartitionRange& partition,
                                        const std::string& label);

using sim::free_drive_letter;
using sim::new_volume_name;

}  // namespace wh::tools
