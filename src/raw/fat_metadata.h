// The bytes of a freshly written card that Windows itself rewrites when it
// mounts the FAT32 boot partition: entry 1 of each FAT (the clean-shutdown
// flag) and the FSInfo sector with its backup (free-cluster count and
// next-free hint). Found from the prepared image only, never from the drive.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "boot/boot_reader.h"
#include "image/byte_range.h"

namespace wh {

// The known ranges of `image`, cut at `bytes_total`: none when the MBR has no
// signature or no FAT-type partition with a sound boot sector starts inside
// the first `bytes_total` bytes. Texts: those of read_disk_sectors.
TextResult<std::vector<ByteRange>> known_fat_metadata_ranges(Handle& image, std::uint64_t bytes_total);

// The same, the image's 512-byte sectors read by `read_sector` (its LBA in,
// the sector or the failure's text out): for an image that is decoded, not
// sought.
using SectorReader = std::function<TextResult<Bytes>(std::uint64_t lba)>;
TextResult<std::vector<ByteRange>> known_fat_metadata_ranges(const SectorReader& read_sector,
                                                             std::uint64_t bytes_total);

// The same for a boot partition starting at byte `part_start` and ending at
// `part_end` whose boot sector is `boot`.
std::vector<ByteRange> fat_metadata_ranges(const Fat32BootSector& boot, std::uint64_t part_start,
                                           std::uint64_t part_end);

}  // namespace wh
