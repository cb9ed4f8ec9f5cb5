// Where a Windows path leads on the simulated machine. A path inside a volume
// ("\\?\Volume{...}\dir\file") maps into the volume's host directory and
// never out of it: the \\?\ prefix hands the name to the file system
// unparsed, which refuses empty, "." and ".." components and the characters
// Windows forbids in names, and a FAT volume holds no symbolic links. Names
// match without regard to ASCII case, as FAT's do. Any other path is a host
// path, taken as it is.
#pragma once

#include <optional>
#include <string>

#include "platform/os_error.h"
#include "platform/result.h"
#include "platform/sim/sim_machine.h"

namespace wh::sim {

struct MappedPath {
  std::string host;
  const SimVolume* volume = nullptr;  // the volume it lies on; nullptr for a host path
};

// 123 for a path holding U+0000, which Windows would end there.
std::optional<OsError> invalid_name(const std::string& path);

// The host path `path` names, or the error Windows gives for it: 123 for a
// NUL, or for an empty, ".", ".." or forbidden component (control
// characters, < > : " / | ? *) of a volume path; 3 for a volume path whose
// volume is not there (unknown, or its disk offline) or has no directory;
// 5 for a symbolic link on the way inside a volume directory.
OsResult<MappedPath> map_path(const SimMachine& machine, const std::string& path);

}  // namespace wh::sim
