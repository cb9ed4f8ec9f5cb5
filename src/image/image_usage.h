// Which bytes of a disk image its file systems leave free: the partition
// table (MBR, or GPT behind its protective MBR) names the partitions; a FAT
// partition type leads to the FAT scan, a Linux one to the ext scan. Every
// other byte counts as used: the tables, the space before, between and after
// the partitions, extended and unknown partitions, every file system's
// metadata, and any partition that is unsound (overlapping another or the
// table, cut short by the image's end, its file system not read cleanly).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image_bytes.h"

namespace wh {

struct PartitionUsage {
  std::uint32_t number = 0;  // the MBR slot or GPT entry, from 1
  ByteRange bytes;           // where it lies in the image
  std::string file_system;   // "FAT32", "ext4", ...; "" when none was read
  std::uint64_t free_bytes = 0;
  std::string written_whole;  // why its free bytes are written too; "" when they may be skipped
};

struct ImageUsage {
  std::string table;  // "MBR", "GPT", or "" when the image has none
  std::vector<PartitionUsage> partitions;
  std::vector<ByteRange> free;  // in order, disjoint
  bool waiting = false;         // the scan needs bytes a stream has not reached yet
};

// One scan of `image`. Cheap enough to repeat as a stream brings more bytes.
ImageUsage scan_image_usage(ImageBytes& image);

}  // namespace wh
