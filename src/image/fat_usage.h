// The free clusters of a FAT12, FAT16 or FAT32 file system, from its first
// FAT. Everything before the data area (boot sector, reserved sectors, every
// FAT, a FAT12/16 root directory), every cluster in use, bad or reserved,
// and the sectors past the last whole cluster count as used.
#pragma once

#include "image/image_bytes.h"

namespace wh {

// The file system of the partition at `partition` of `image`.
FileSystemUsage fat_usage(ImageBytes& image, ByteRange partition);

}  // namespace wh
