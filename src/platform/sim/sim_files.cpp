// Ordinary files on the simulated Windows: host files, and the files of
// mounted volumes, which live in the volumes' host directories
// (sim_volume_paths.h says how a path maps and what it may not hold).
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

bool is_directory(const std::string& host) {
  struct stat st {};
  return ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_directory(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parent_of(const std::string& host) {
  const std::size_t slash = host.find_last_of('/');
  return slash == std::string::npos ? "." : host.substr(0, std::max<std::size_t>(slash, 1));
}

// ENOENT is 2 when only the last component is missing, 3 when a directory
// on the way is.
OsError missing_or_failed(int error_number, const std::string& host) {
  if (error_number != ENOENT) return from_errno(error_number);
  return win32_error(is_directory(parent_of(host)) ? kErrorFileNotFound : kErrorPathNotFound);
}

// A link inside a volume directory is never followed (map_path refused any
// on the way; this is the last component).
int status_of(const MappedPath& mapped, struct stat& st) {
  return mapped.volume != nullptr ? ::lstat(mapped.host.c_str(), &st) : ::stat(mapped.host.c_str(), &st);
}

}  // namespace

OsResult<std::string> SimPlatform::host_path(const std::string& path) const {
  auto mapped = map_path(machine, path);
  if (!mapped) return Err(mapped.error());
  return mapped->host;
}

bool SimPlatform::file_exists(const std::string& path) {
  auto mapped = map_path(machine, path);
  struct stat st {};
  return mapped && status_of(*mapped, st) == 0;
}

OsResult<std::optional<FileStatus>> SimPlatform::file_status(const std::string& path) {
  if (auto error = invalid_name(path)) return Err(*error);
  if (auto error = fault("status", path)) return Err(*error);
  auto mapped = map_path(machine, path);
  // A volume that is not there holds no file.
  if (!mapped && mapped.error().code == kErrorPathNotFound) return std::optional<FileStatus>();
  if (!mapped) return Err(mapped.error());
  struct stat st {};
  if (status_of(*mapped, st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::optional<FileStatus>();
    return Err(from_errno(errno));
  }
  FileStatus status;
  status.kind = S_ISREG(st.st_mode)   ? FileKind::kRegular
                : S_ISDIR(st.st_mode) ? FileKind::kDirectory
                                      : FileKind::kOther;
  status.identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return std::optional<FileStatus>(status);
}

OsResult<int> SimPlatform::open_host_file(const std::string& path, int flags, std::string& volume, bool as_user,
                                          SharingLock* share) {
  if (auto error = invalid_name(path)) return Err(*error);
  const bool writing = (flags & O_ACCMODE) != O_RDONLY;
  if (auto error = fault("open", path, writing ? "fileWrite" : "fileRead")) return Err(*error);
  auto mapped = map_path(machine, path);
  if (!mapped) return Err(mapped.error());
  const std::string& host = mapped->host;
  if ((as_user || !machine.elevated) && user_denied(machine, host)) return Err(win32_error(kErrorAccessDenied));
  const auto known = machine.file_attributes.find(host);
  const std::uint32_t attributes = known == machine.file_attributes.end() ? 0 : known->second;
  struct stat st {};
  const bool exists = status_of(*mapped, st) == 0;
  SharingLock writer;
  if (exists && writing) {
    if (attributes & kAttributeReadOnly) return Err(win32_error(kErrorAccessDenied));
    if ((flags & O_TRUNC) && (attributes & (kAttributeHidden | kAttributeSystem))) {
      return Err(win32_error(kErrorAccessDenied));
    }
    auto shared = share_for_writing(machine.directory, st);
    if (!shared) return Err(shared.error());
    writer = std::move(shared).value();
  }
  const int fd = ::open(host.c_str(), flags | O_CLOEXEC | (mapped->volume != nullptr ? O_NOFOLLOW : 0), 0644);
  if (fd < 0 && errno == ELOOP && mapped->volume != nullptr) return Err(win32_error(kErrorAccessDenied));
  if (fd < 0) return Err(missing_or_failed(errno, host));
  // CreateFileW refuses a directory without FILE_FLAG_BACKUP_SEMANTICS.
  if (is_directory(fd)) {
    ::close(fd);
    return Err(win32_error(kErrorAccessDenied));
  }
  if (writing && !exists) {
    // Created just now: nobody can hold it yet.
    struct stat created {};
    if (::fstat(fd, &created) == 0) {
      if (auto shared = share_for_writing(machine.directory, created)) writer = std::move(shared).value();
    }
  }
  if (share != nullptr) *share = std::move(writer);
  volume = mapped->volume != nullptr ? mapped->volume->name : "";
  return fd;
}

OsResult<HandlePtr> SimPlatform::open_file_read(const std::string& path) {
  std::string volume;
  auto fd = open_host_file(path, O_RDONLY, volume);
  if (!fd) return Err(fd.error());
  log_event({{"op", "open"}, {"path", path}, {"mode", "fileRead"}});
  return HandlePtr(std::make_unique<SimFileHandle>(*this, path, *fd, FileAccess::kRead, volume));
}

OsResult<HandlePtr> SimPlatform::create_file_write(const std::string& path) {
  std::string volume;
  SharingLock share;
  auto fd = open_host_file(path, O_WRONLY | O_CREAT | O_TRUNC, volume, /*as_user=*/false, &share);
  if (!fd) return Err(fd.error());
  log_event({{"op", "open"}, {"path", path}, {"mode", "fileWrite"}});
  auto handle = std::make_unique<SimFileHandle>(*this, path, *fd, FileAccess::kWrite, volume);
  handle->hold(std::move(share));
  return HandlePtr(std::move(handle));
}

OsResult<OpenedForWriting> SimPlatform::open_always_write(const std::string& path) {
  auto mapped = map_path(machine, path);
  struct stat st {};
  const bool existed = mapped && status_of(*mapped, st) == 0;
  std::string volume;
  SharingLock share;
  auto fd = open_host_file(path, O_WRONLY | O_CREAT, volume, /*as_user=*/false, &share);
  if (!fd) return Err(fd.error());
  log_event({{"op", "open"}, {"path", path}, {"mode", "fileWrite"}});
  auto handle = std::make_unique<SimFileHandle>(*this, path, *fd, FileAccess::kWrite, volume);
  handle->hold(std::move(share));
  return OpenedForWriting{std::move(handle), existed};
}

// MoveFileExW with MOVEFILE_REPLACE_EXISTING and without
// MOVEFILE_COPY_ALLOWED: a rename within one volume, never a copy.
OsStatus SimPlatform::replace_file(const std::string& from, const std::string& to) {
  auto source = map_path(machine, from);
  if (!source) return Err(source.error());
  auto target = map_path(machine, to);
  if (!target) return Err(target.error());
  if (auto error = fault("replace", to, "fileWrite")) return Err(*error);
  struct stat st {};
  if (status_of(*source, st) != 0) return Err(missing_or_failed(errno, source->host));
  const bool source_is_directory = S_ISDIR(st.st_mode);
  if (!is_directory(parent_of(target->host))) return Err(win32_error(kErrorPathNotFound));
  if (source->volume != target->volume) return Err(win32_error(kErrorNotSameDevice));
  const auto known = machine.file_attributes.find(target->host);
  const bool read_only = known != machine.file_attributes.end() && (known->second & kAttributeReadOnly);
  const bool target_exists = status_of(*target, st) == 0;
  if (target_exists && (S_ISDIR(st.st_mode) || read_only || source_is_directory)) {
    return Err(win32_error(kErrorAccessDenied));
  }
  for (const std::string* host : {&source->host, &target->host}) {
    if (auto deletable = check_deletable(machine.directory, *host); !deletable) return deletable;
  }
  if (::rename(source->host.c_str(), target->host.c_str()) != 0) return Err(from_errno(errno));
  log_event({{"op", "replace"}, {"path", to}, {"from", from}});
  return {};
}

OsStatus SimPlatform::delete_file(const std::string& path) {
  auto mapped = map_path(machine, path);
  if (!mapped) return Err(mapped.error());
  if (auto error = fault("delete", path, "fileWrite")) return Err(*error);
  struct stat st {};
  if (status_of(*mapped, st) != 0) return Err(missing_or_failed(errno, mapped->host));
  const auto known = machine.file_attributes.find(mapped->host);
  const bool read_only = known != machine.file_attributes.end() && (known->second & kAttributeReadOnly);
  if (S_ISDIR(st.st_mode) || read_only) return Err(win32_error(kErrorAccessDenied));
  if (auto deletable = check_deletable(machine.directory, mapped->host); !deletable) return deletable;
  if (::unlink(mapped->host.c_str()) != 0) return Err(from_errno(errno));
  log_event({{"op", "delete"}, {"path", path}});
  return {};
}

}  // namespace wh::sim
