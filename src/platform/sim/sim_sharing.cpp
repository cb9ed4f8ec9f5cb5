#include "platform/sim/sim_sharing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/sim/sim_errors.h"
#include "platform/unicode.h"

namespace wh::sim {
namespace {

constexpr const char* kSharingDirectory = "/sharing";

std::string lock_path(const std::string& directory, const std::string& name) {
  return directory + kSharingDirectory + "/" + name + ".lock";
}

// The whole file, from byte 0 to any end.
struct flock whole_file(LockKind kind) {
  struct flock lock {};
  lock.l_type = kind == LockKind::kShared ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  return lock;
}

}  // namespace

SharingLock::~SharingLock() {
  if (fd_ >= 0) ::close(fd_);
}

SharingLock& SharingLock::operator=(SharingLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

std::string drive_lock_name(std::uint32_t number) { return "drive-" + std::to_string(number); }

std::string volume_lock_name(const std::string& volume) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = "volume-";
  for (const char c : ascii_lower(volume)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    if (plain) {
      name += c;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    name += '_';
    name += kHex[byte >> 4];
    name += kHex[byte & 0xF];
  }
  return name;
}

OsResult<SharingLock> take_sharing_lock(const std::string& directory, const std::string& name, LockKind kind,
                                        std::uint32_t conflict) {
  if (directory.empty()) return SharingLock();
  // Another process may be creating it at the same moment.
  if (::mkdir((directory + kSharingDirectory).c_str(), 0755) != 0 && errno != EEXIST) {
    return Err(from_errno(errno));
  }
  // Read-write whatever the kind: a write lock needs a descriptor open for
  // writing, and the file never holds a byte.
  const int fd = ::open(lock_path(directory, name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Err(from_errno(errno));
  SharingLock lock(fd);
  struct flock wanted = whole_file(kind);
  if (::fcntl(fd, F_OFD_SETLK, &wanted) != 0) {
    if (errno == EAGAIN || errno == EACCES) return Err(win32_error(conflict));
    return Err(from_errno(errno));
  }
  return lock;
}

bool sharing_lock_held(const std::string& directory, const std::string& name, LockKind kind) {
  if (directory.empty()) return false;
  // No file, no lock: nobody has taken one yet.
  const int fd = ::open(lock_path(directory, name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // A write lock would conflict with any lock held through another
  // descriptor, a read lock with write locks alone; this one holds none.
  struct flock probe = whole_file(kind == LockKind::kShared ? LockKind::kExclusive : LockKind::kShared);
  const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

}  // namespace wh::sim
