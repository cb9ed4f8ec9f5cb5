// The disks the running Windows needs. Any of them may be on a USB, SD or MMC
// bus (tablets that boot from eMMC, Windows To Go, a VHDX on a USB disk), so
// the removable-class test of the identity proof alone would let a request
// name it. They are found through the platform, without PowerShell: the
// volume behind each and its disk extents.
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

// Why Windows needs a disk.
enum class DiskRole {
  kWindows,          // the Windows volume lies on it
  kSystemPartition,  // the system partition Windows started from
  kVirtualDiskHost,  // it holds the file of a virtual disk that Windows needs (native VHD boot)
  kPageFile,         // a page file lies on it
};

struct NeededDisk {
  std::uint32_t number = 0;
  DiskRole role = DiskRole::kWindows;
};

// The refusal's text for a target that Windows needs: "The target is the
// disk Windows runs from", ... (without the step).
std::string needed_disk_text(DiskRole role);

// Every disk Windows needs: those of windows_disks; those under the system
// partition's volume; those under the volumes of its page files; and, for
// each of these that is a virtual disk (bus type 15, file-backed virtual),
// those under the volumes that hold its file, over and over for virtual
// disks inside virtual disks. A disk may be listed more than once. The error
// is the whole sentence: "Could not find the disk Windows runs from (…)" or
// "Could not find the disks Windows needs (…)".
Result<std::vector<NeededDisk>, std::string> needed_disks(Platform& platform);

}  // namespace wh
