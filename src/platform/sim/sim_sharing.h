// Share modes and volume locks across processes. Windows keeps a drive's
// share mode and a volume's FSCTL_LOCK_VOLUME in the kernel, so they hold
// between processes and end when a process dies with its handles. The
// simulation keeps them as open-file-description locks (fcntl F_OFD_SETLK)
// on small files in the machine's directory, `sharing/<name>.lock`: such a
// lock belongs to the descriptor, conflicts with every other descriptor's
// (of this process or another), and goes when the descriptor is closed,
// also by the kernel when the process is killed.
#pragma once

#include <cstdint>
#include <string>

#include "platform/os_error.h"
#include "platform/result.h"

namespace wh::sim {

// Read locks (a query open) may be held by many; a write lock (an exclusive
// open, a volume lock) by one descriptor alone.
enum class LockKind { kShared, kExclusive };

// One held lock; releasing it closes its descriptor. An empty one (the
// default, or a machine without a directory) holds nothing.
class SharingLock {
 public:
  SharingLock() = default;
  explicit SharingLock(int fd) : fd_(fd) {}
  ~SharingLock();
  SharingLock(SharingLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  SharingLock& operator=(SharingLock&& other) noexcept;
  SharingLock(const SharingLock&) = delete;
  SharingLock& operator=(const SharingLock&) = delete;

 private:
  int fd_ = -1;
};

// The lock file names: "drive-1", and for a volume its name (lower-cased)
// with every character other than a letter, digit or '-' written as "_xx".
std::string drive_lock_name(std::uint32_t number);
std::string volume_lock_name(const std::string& volume);

// Takes `kind` of lock on `<directory>/sharing/<name>.lock` (both created on
// demand) without waiting. Another descriptor's conflicting lock fails it
// with `conflict`; a host failure with its errno's Win32 code. Without a
// directory there is nothing to share with: an empty lock.
OsResult<SharingLock> take_sharing_lock(const std::string& directory, const std::string& name, LockKind kind,
                                        std::uint32_t conflict);

// Whether any descriptor, in any process, holds a lock on `name` now; with
// kExclusive, only a write lock counts.
bool sharing_lock_held(const std::string& directory, const std::string& name, LockKind kind = LockKind::kShared);

}  // namespace wh::sim
