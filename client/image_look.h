// What flash-card reads from the image itself, decoded with the helper's own
// decoders, before any card is chosen: the partition table its first bytes
// hold (where the partitions end, to tell an image cut short), and which of
// the folders that --file paths go into its FAT boot partition lacks. Only
// the start of the image is decoded, and of the boot partition only its
// boot sector, its first FAT and the folders asked about.
#pragma once

#include <string>
#include <vector>

#include "image/disk_layout.h"
#include "platform/result.h"

namespace flash {

struct ImageLook {
  wh::DiskLayout layout;
  bool boot_partition = false;  // a FAT32 boot partition was found
  // The asked folders ("overlays", "a/b") the boot partition does not have,
  // in the order asked.
  std::vector<std::string> missing_folders;
};

// Reads `image_path` (any format the helper decodes). `folders` are
// relative to the boot partition's root, "/" or "\" between names, compared
// without regard to case as FAT does. Fails with a text when the image
// cannot be read or decoded that far.
wh::Result<ImageLook, std::string> look_into_image(const std::string& image_path,
                                                   const std::vector<std::string>& folders);

}  // namespace flash
