// Share modes of ordinary files across processes, as far as the helper
// relies on them: a request file opened with FILE_SHARE_READ alone keeps
// every writer and deleter out while it is read, and cannot be opened while
// another handle may write it. Every handle that may write a file holds a
// shared lock named after the file (sim_sharing.h); the locked reader holds
// it exclusively. Plain readers, which share everything, take none.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/os_error.h"
#include "platform/result.h"
#include "platform/sim/sim_sharing.h"

namespace wh::sim {

// "file-<device>-<inode>" of the file `st` describes.
std::string file_lock_name(const struct stat& st);

// A writer's share of the file; 32 while a locked reader holds it.
OsResult<SharingLock> share_for_writing(const std::string& directory, const struct stat& st);

// The locked reader's: 32 while any handle may write the file.
OsResult<SharingLock> share_for_locked_read(const std::string& directory, const struct stat& st);

// 32 for a deletion or rename of the file while a locked reader holds it.
OsStatus check_deletable(const std::string& directory, const std::string& host);

}  // namespace wh::sim
