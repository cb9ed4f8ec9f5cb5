// The rights of the user who started the helper. The helper runs elevated,
// but the files a request names are opened with that user's own rights
// (platform.h, open_file_read_as_user), so that a request cannot make the
// helper read or write what the user could not. machine.json's
// `userDeniedPaths` lists the host path prefixes that this user may neither
// read nor write: the files only administrators may touch.
#pragma once

#include <string>

#include "platform/sim/sim_machine.h"

namespace wh::sim {

// Whether `host` lies under a denied prefix once every symbolic link on the
// way is resolved, as Windows checks the rights of the object a path leads
// to. A file that does not exist yet is judged by its directory.
bool user_denied(const SimMachine& machine, const std::string& host);

// realpath(3) of `path`; a path that leads nowhere yet gets its directory
// resolved and its last name kept.
std::string resolved_host_path(const std::string& path);

// The host path behind an open descriptor, every link resolved.
std::string descriptor_path(int fd);

}  // namespace wh::sim
