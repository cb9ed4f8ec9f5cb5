// Opens with the user's own rights, and who may change an open file.
#include "platform/sim/sim_user_rights.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_file_handle.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_volume_paths.h"

namespace wh::sim {
namespace {

bool under(const std::string& path, const std::string& prefix) {
  return path == prefix || (path.starts_with(prefix) && (prefix.ends_with("/") || path[prefix.size()] == '/'));
}

}  // namespace

std::string resolved_host_path(const std::string& path) {
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    std::string out = real;
    std::free(real);
    return out;
  }
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return path;
  return resolved_host_path(path.substr(0, slash)) + path.substr(slash);
}

bool user_denied(const SimMachine& machine, const std::string& host) {
  const std::string path = resolved_host_path(host);
  for (const std::string& prefix : machine.user_denied_paths) {
    if (under(path, resolved_host_path(prefix))) return true;
  }
  return false;
}

std::string descriptor_path(int fd) {
  char target[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

OsResult<HandlePtr> SimPlatform::open_file_read_as_user(const std::string& path) {
  std::string volume;
  auto fd = open_host_file(path, O_RDONLY, volume, /*as_user=*/true);
  if (!fd) return Err(fd.error());
  log_event({{"op", "open"}, {"path", path}, {"mode", "fileRead"}, {"as", "user"}});
  return HandlePtr(std::make_unique<SimFileHandle>(*this, path, *fd, FileAccess::kRead, volume));
}

OsResult<OpenedForWriting> SimPlatform::open_output_as_user(const std::string& path) {
  auto mapped = map_path(machine, path);
  if (!mapped) return Err(mapped.error());
  struct stat st {};
  const bool existed = ::lstat(mapped->host.c_str(), &st) == 0;
  std::string volume;
  OsResult<int> fd = -1;
  SharingLock share;
  if (existed && S_ISLNK(st.st_mode)) {
    // FILE_FLAG_OPEN_REPARSE_POINT: the link itself, in the user's directory.
    if (auto error = fault("open", path, "fileWrite")) return Err(*error);
    const std::string directory = mapped->host.substr(0, mapped->host.find_last_of('/') + 1);
    if (user_denied(machine, directory)) return Err(win32_error(kErrorAccessDenied));
    fd = ::open(mapped->host.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (*fd < 0) return Err(from_errno(errno));
  } else {
    fd = open_host_file(path, O_WRONLY | O_CREAT | O_NOFOLLOW, volume, /*as_user=*/true, &share);
    if (!fd) return Err(fd.error());
  }
  log_event({{"op", "open"}, {"path", path}, {"mode", "fileWrite"}, {"as", "user"}});
  auto handle = std::make_unique<SimFileHandle>(*this, path, *fd, FileAccess::kWrite, volume, /*read_attributes=*/true);
  handle->hold(std::move(share));
  return OpenedForWriting{std::move(handle), existed};
}

OsResult<bool> SimFileHandle::user_may_change() {
  // Without elevation the helper has its user's own rights, no more.
  if (!platform_.machine.elevated) return false;
  return !user_denied(platform_.machine, descriptor_path(fd_));
}

}  // namespace wh::sim
