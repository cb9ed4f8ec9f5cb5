// Links and what a handle has open. A host symbolic link stands for a
// Windows reparse point (a symbolic link or a junction): opens that must not
// follow one (FILE_FLAG_OPEN_REPARSE_POINT) open the link itself, which is
// then neither a file nor a directory, and the final path of a handle is
// where every link on the way led.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_file_handle.h"
#include "platform/sim/sim_file_sharing.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_user_rights.h"
#include "platform/sim/sim_volume_paths.h"

namespace wh::sim {
namespace {

// 2, or 3 when a directory on the way is missing, as CreateFileW says.
OsError not_there(const std::string& host) {
  const std::size_t slash = host.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "." : host.substr(0, std::max<std::size_t>(slash, 1));
  struct stat st {};
  const bool directory_there = ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return win32_error(directory_there ? kErrorFileNotFound : kErrorPathNotFound);
}

}  // namespace

OsResult<HandlePtr> SimPlatform::open_file_read_locked(const std::string& path) {
  if (auto error = invalid_name(path)) return Err(*error);
  if (auto error = fault("open", path, "fileRead")) return Err(*error);
  auto mapped = map_path(machine, path);
  if (!mapped) return Err(mapped.error());
  const std::string& host = mapped->host;
  if (!machine.elevated && user_denied(machine, host)) return Err(win32_error(kErrorAccessDenied));
  // O_NONBLOCK: a FIFO opens at once, as a named pipe does on Windows, and
  // nothing reads from it.
  int fd = ::open(host.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ELOOP) fd = ::open(host.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return Err(not_there(host));
  if (fd < 0) return Err(from_errno(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return Err(win32_error(kErrorAccessDenied));  // no FILE_FLAG_BACKUP_SEMANTICS
  }
  auto share = share_for_locked_read(machine.directory, st);
  if (!share) {
    ::close(fd);
    return Err(share.error());
  }
  log_event({{"op", "open"}, {"path", path}, {"mode", "fileRead"}, {"share", "read"}});
  auto handle = std::make_unique<SimFileHandle>(*this, path, fd, FileAccess::kRead,
                                                mapped->volume != nullptr ? mapped->volume->name : "");
  handle->hold(std::move(share).value());
  return HandlePtr(std::move(handle));
}

OsResult<FileStatus> SimFileHandle::status() {
  if (!may_read_attributes()) return Err(win32_error(kErrorAccessDenied));
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return Err(from_errno(errno));
  FileStatus status;
  status.kind = S_ISREG(st.st_mode) ? FileKind::kRegular : S_ISDIR(st.st_mode) ? FileKind::kDirectory : FileKind::kOther;
  status.identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return status;
}

// A file inside a volume's directory is named below the volume, as
// GetFinalPathNameByHandleW names a file on a volume without a drive letter.
OsResult<std::string> SimFileHandle::final_path() {
  const std::string host = descriptor_path(fd_);
  if (host.empty()) return Err(win32_error(kErrorInvalidFunction));
  for (const SimVolume& volume : platform_.machine.volumes) {
    if (volume.directory.empty()) continue;
    const std::string root = resolved_host_path(volume.directory);
    if (root.empty() || (host != root && !host.starts_with(root + "/"))) continue;
    std::string rest = host.substr(root.size());
    if (!rest.empty()) rest.erase(0, 1);
    for (char& c : rest) c = c == '/' ? '\\' : c;
    return volume.name + rest;
  }
  return host;
}

}  // namespace wh::sim
