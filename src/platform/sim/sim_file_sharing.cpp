#include "platform/sim/sim_file_sharing.h"

#include "platform/sim/sim_errors.h"

namespace wh::sim {

std::string file_lock_name(const struct stat& st) {
  return "file-" + std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino);
}

OsResult<SharingLock> share_for_writing(const std::string& directory, const struct stat& st) {
  return take_sharing_lock(directory, file_lock_name(st), LockKind::kShared, kErrorSharingViolation);
}

OsResult<SharingLock> share_for_locked_read(const std::string& directory, const struct stat& st) {
  return take_sharing_lock(directory, file_lock_name(st), LockKind::kExclusive, kErrorSharingViolation);
}

OsStatus check_deletable(const std::string& directory, const std::string& host) {
  struct stat st {};
  if (::lstat(host.c_str(), &st) != 0) return {};
  if (sharing_lock_held(directory, file_lock_name(st), LockKind::kExclusive)) {
    return Err(win32_error(kErrorSharingViolation));
  }
  return {};
}

}  // namespace wh::sim
