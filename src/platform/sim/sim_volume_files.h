// A FAT volume's files, kept in the volume's host directory while Windows has
// it mounted. Mounting empties the directory and fills it from the file
// system on the drive's bytes; dismounting (or the disk going offline) writes
// the directory's tree back into that file system, so that a raw read of the
// card afterwards finds what was written through the volume. Both directions
// use mtools on the partition in place ("<backing file>@@<offset>").
#pragma once

#include <string>

#include "platform/result.h"
#include "platform/sim/sim_machine.h"

namespace wh::sim {

// The directory a volume gets when it has none: <sim dir>/volumes/<GUID>.
std::string default_volume_directory(const SimMachine& machine, const SimVolume& volume);

// Windows mounts `volume`: its `fileSystem` and `serialNumber` are read from
// its boot sector (its first extent), it gets a directory if it has none,
// and a FAT volume's directory is emptied and filled from the file system
// (`filesLoaded` set). Logs {"op": "volumeFilesLoaded", "volume", "disk",
// "fileSystem", "files"} or, on failure, with "error". A machine without a
// directory only reads the boot sector.
Result<void, std::string> load_volume_files(const SimMachine& machine, SimVolume& volume);

// Windows dismounts `volume`: a volume whose files were loaded has its
// directory's tree written back (new and changed files copied in, vanished
// files and directories deleted) and `filesLoaded` cleared. Symbolic links,
// pipes and device files in the directory are left out. Logs
// {"op": "volumeFilesSaved", "volume", "disk", "copied", "deleted"} or,
// on failure, with "error".
Result<void, std::string> save_volume_files(const SimMachine& machine, SimVolume& volume);

}  // namespace wh::sim
