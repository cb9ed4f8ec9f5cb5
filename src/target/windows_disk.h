// The disk the running Windows lives on. It may be on a USB, SD or MMC bus
// (tablets that boot from eMMC, Windows To Go), so the removable-class test
// of the identity proof alone would let a request name it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/result.h"

namespace wh {

// The disk numbers under the Windows directory's volume: GetWindowsDirectoryW,
// GetVolumePathNameW, GetVolumeNameForVolumeMountPointW, then the volume's
// disk extents. Empty when that mount point has no volume behind it (a
// simulated machine without one). Any other failure is an error: a disk
// that cannot be told apart from Windows' own must not be written.
Result<std::vector<std::uint32_t>, std::string> windows_disks(Platform& platform);

}  // namespace wh
