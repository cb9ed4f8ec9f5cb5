#include "platform/sim/sim_file_handle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_volume_files.h"
#include "platform/unicode.h"

namespace wh::sim {
namespace {

OsError access_denied() { return win32_error(kErrorAccessDenied); }

// pread/pwrite cannot take offsets beyond off_t.
bool offset_fits(std::uint64_t offset) { return offset <= static_cast<std::uint64_t>(INT64_MAX); }

}  // namespace

// --- Files.

SimFileHandle::SimFileHandle(SimPlatform& platform, std::string path, int fd, FileAccess access, std::string volume,
                             bool read_attributes)
    : SimHandle(platform, std::move(path), access == FileAccess::kRead ? "fileRead" : "fileWrite"), fd_(fd),
      access_(access), volume_(std::move(volume)), read_attributes_(read_attributes) {}

SimFileHandle::~SimFileHandle() { ::close(fd_); }

OsResult<std::size_t> SimFileHandle::read(std::span<std::uint8_t> buffer) {
  const std::uint64_t at = position_;
  return logged("read", at, buffer.size(), read_at(buffer));
}

OsResult<std::size_t> SimFileHandle::write(std::span<const std::uint8_t> data) {
  const std::uint64_t at = position_;
  return logged("write", at, data.size(), write_at(data));
}

OsResult<std::size_t> SimFileHandle::read_at(std::span<std::uint8_t> buffer) {
  if (access_ != FileAccess::kRead) return Err(access_denied());
  auto allowed = allowance("read", buffer.size(), read_);
  if (!allowed) return allowed;
  if (!offset_fits(position_)) return 0;
  const ssize_t n = ::pread(fd_, buffer.data(), *allowed, static_cast<off_t>(position_));
  if (n < 0) return Err(from_errno(errno));
  position_ += static_cast<std::uint64_t>(n);
  read_ += static_cast<std::uint64_t>(n);
  platform_.count_transfer(static_cast<std::uint64_t>(n));
  return static_cast<std::size_t>(n);
}

OsResult<std::size_t> SimFileHandle::write_at(std::span<const std::uint8_t> data) {
  if (access_ != FileAccess::kWrite) return Err(access_denied());
  auto allowed = allowance("write", data.size(), written_);
  if (!allowed) return allowed;
  if (!offset_fits(position_ + *allowed)) return Err(win32_error(112));
  const ssize_t n = ::pwrite(fd_, data.data(), *allowed, static_cast<off_t>(position_));
  if (n < 0) return Err(from_errno(errno));
  position_ += static_cast<std::uint64_t>(n);
  written_ += static_cast<std::uint64_t>(n);
  platform_.count_transfer(static_cast<std::uint64_t>(n));
  return static_cast<std::size_t>(n);
}

OsStatus SimFileHandle::seek(std::uint64_t offset) {
  if (auto error = check("seek")) return Err(*error);
  if (!offset_fits(offset)) return Err(win32_error(kErrorInvalidParameter));
  position_ = offset;
  return {};
}

OsStatus SimFileHandle::set_end_of_file(std::uint64_t length) {
  if (access_ != FileAccess::kWrite) return Err(access_denied());
  if (auto error = check("setEndOfFile")) return Err(*error);
  if (!offset_fits(length)) return Err(win32_error(kErrorInvalidParameter));
  if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) return Err(from_errno(errno));
  return {};
}

// Host files are sparse already wherever the writer seeks over zeros; the
// call is recorded so that tests can see it was made.
OsStatus SimFileHandle::set_sparse() {
  if (access_ != FileAccess::kWrite) return Err(access_denied());
  if (auto error = check("setSparse")) return Err(*error);
  platform_.state.events.push_back("sparse " + path_);
  log({{"op", "sparse"}});
  return {};
}

OsStatus SimFileHandle::flush() {
  if (access_ != FileAccess::kWrite) return Err(access_denied());
  if (auto error = check("flush")) {
    log({{"op", "flush"}, {"error", error->code}});
    return Err(*error);
  }
  if (::fsync(fd_) != 0) return Err(from_errno(errno));
  log({{"op", "flush"}});
  return {};
}

OsResult<std::uint64_t> SimFileHandle::file_size() {
  if (!may_read_attributes()) return Err(access_denied());
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return Err(from_errno(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

// GetFileInformationByHandle needs FILE_READ_ATTRIBUTES, which GENERIC_WRITE
// does not grant.
OsResult<FileIdentity> SimFileHandle::file_identity() {
  if (!may_read_attributes()) return Err(access_denied());
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return Err(from_errno(errno));
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

OsResult<VolumeInformation> SimFileHandle::volume_information() {
  if (auto error = check("volumeInformation")) return Err(*error);
  if (volume_.empty()) return VolumeInformation{"NTFS", 0, ""};
  const SimVolume* volume = find_volume(platform_.machine, volume_);
  if (volume == nullptr || !volume_present(platform_.machine, *volume)) return Err(win32_error(kErrorDeviceNotConnected));
  return VolumeInformation{volume->file_system, volume->serial_number, volume->label};
}

}  // namespace wh::sim
