#include "platform/sim/sim_handles.h"

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

constexpr std::size_t kMaxExtentsInReply = 42;  // (1024 - 8) / 24
constexpr std::uint32_t kErrorMoreData = 234;

OsError invalid_function() { return win32_error(kErrorInvalidFunction); }
OsError access_denied() { return win32_error(kErrorAccessDenied); }

// pread/pwrite cannot take offsets beyond off_t.
bool offset_fits(std::uint64_t offset) { return offset <= static_cast<std::uint64_t>(INT64_MAX); }

}  // namespace

// --- SimHandle: what a handle of the wrong kind answers.

OsResult<std::size_t> SimHandle::read(std::span<std::uint8_t>) { return Err(invalid_function()); }
OsResult<std::size_t> SimHandle::write(std::span<const std::uint8_t>) { return Err(invalid_function()); }
OsStatus SimHandle::seek(std::uint64_t) { return Err(invalid_function()); }
OsStatus SimHandle::set_end_of_file(std::uint64_t) { return Err(invalid_function()); }
OsStatus SimHandle::set_sparse() { return Err(invalid_function()); }
OsStatus SimHandle::flush() { return Err(invalid_function()); }
OsResult<std::uint64_t> SimHandle::file_size() { return Err(invalid_function()); }
OsResult<std::uint64_t> SimHandle::disk_length() { return Err(invalid_function()); }
OsResult<Bytes> SimHandle::storage_descriptor() { return Err(invalid_function()); }
OsResult<std::uint64_t> SimHandle::disk_attributes() { return Err(invalid_function()); }
OsResult<std::vector<std::uint32_t>> SimHandle::volume_disk_extents() { return Err(invalid_function()); }
OsStatus SimHandle::update_disk_properties() { return Err(invalid_function()); }
OsStatus SimHandle::lock_volume() { return Err(invalid_function()); }
OsStatus SimHandle::dismount_volume() { return Err(invalid_function()); }
OsResult<FileIdentity> SimHandle::file_identity() { return Err(invalid_function()); }
OsResult<VolumeInformation> SimHandle::volume_information() { return Err(invalid_function()); }

SimHandle::~SimHandle() {
  log({{"op", "close"}});
  platform_.settle_mounts();
}

void SimHandle::log(nlohmann::json event) const {
  event["path"] = path_;
  platform_.log_event(std::move(event));
}

OsResult<std::size_t> SimHandle::logged(const char* operation, std::uint64_t offset, std::size_t wanted,
                                        OsResult<std::size_t> result, nlohmann::json more) const {
  nlohmann::json event = {{"op", operation}, {"offset", offset}};
  if (result) {
    event["bytes"] = *result;
  } else {
    event["bytes"] = wanted;
    event["error"] = result.error().code;
    if (result.error().interrupted) event["interrupted"] = true;
  }
  event.update(more);
  log(std::move(event));
  return result;
}

std::optional<OsError> SimHandle::check(std::string_view operation) {
  if (platform_.gone(path_)) return win32_error(kErrorDeviceNotConnected);
  return platform_.fault(operation, path_, mode_);
}

OsResult<std::size_t> SimHandle::allowance(std::string_view operation, std::size_t wanted,
                                           std::uint64_t moved_so_far) {
  if (platform_.gone(path_)) return Err(win32_error(kErrorDeviceNotConnected));
  return platform_.transfer_allowance(operation, path_, mode_, wanted, moved_so_far);
}

// --- Files.

SimFileHandle::SimFileHandle(SimPlatform& platform, std::string path, int fd, FileAccess access, std::string volume)
    : SimHandle(platform, std::move(path), access == FileAccess::kRead ? "fileRead" : "fileWrite"), fd_(fd),
      access_(access), volume_(std::move(volume)) {}

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
  if (access_ != FileAccess::kRead) return Err(access_denied());
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return Err(from_errno(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

// GetFileInformationByHandle needs FILE_READ_ATTRIBUTES, which GENERIC_WRITE
// does not grant.
OsResult<FileIdentity> SimFileHandle::file_identity() {
  if (access_ != FileAccess::kRead) return Err(access_denied());
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return Err(from_errno(errno));
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

OsResult<VolumeInformation> SimFileHandle::volume_information() {
  if (auto error = check("volumeInformation")) return Err(*error);
  if (volume_.empty()) return VolumeInformation{"NTFS", 0};
  const SimVolume* volume = find_volume(platform_.machine, volume_);
  if (volume == nullptr || !volume_present(platform_.machine, *volume)) return Err(win32_error(kErrorDeviceNotConnected));
  return VolumeInformation{volume->file_system, volume->serial_number};
}

// --- Volumes.

SimVolumeHandle::~SimVolumeHandle() {
  VolumeUse& held = use();
  if (held.locked_by != this) return;
  held.locked_by = nullptr;
  platform_.state.events.push_back("unlock " + name_);
  log({{"op", "unlock"}});
}

VolumeUse& SimVolumeHandle::use() { return platform_.state.volume_use[ascii_lower(name_)]; }

OsResult<SimVolume*> SimVolumeHandle::volume() {
  SimVolume* volume = find_volume(platform_.machine, name_);
  if (volume == nullptr || !volume_present(platform_.machine, *volume)) {
    return Err(win32_error(kErrorDeviceNotConnected));
  }
  return volume;
}

OsStatus SimVolumeHandle::flush() {
  if (!writable_) return Err(access_denied());
  if (auto volume = this->volume(); !volume) return Err(volume.error());
  return {};
}

OsResult<std::vector<std::uint32_t>> SimVolumeHandle::volume_disk_extents() {
  if (auto error = check("extents")) return Err(*error);
  auto volume = this->volume();
  if (!volume) return Err(volume.error());
  if ((*volume)->extents.size() > kMaxExtentsInReply) return Err(win32_error(kErrorMoreData));
  std::vector<std::uint32_t> disks;
  for (const SimExtent& extent : (*volume)->extents) disks.push_back(extent.disk);
  return disks;
}

OsResult<VolumeInformation> SimVolumeHandle::volume_information() {
  if (auto error = check("volumeInformation")) return Err(*error);
  auto volume = this->volume();
  if (!volume) return Err(volume.error());
  return VolumeInformation{(*volume)->file_system, (*volume)->serial_number};
}

OsStatus SimVolumeHandle::lock_volume() {
  OsStatus result = try_lock();
  nlohmann::json event = {{"op", "lock"}};
  if (!result) event["error"] = result.error().code;
  log(std::move(event));
  return result;
}

OsStatus SimVolumeHandle::try_lock() {
  if (auto error = check("lock")) return Err(*error);
  auto volume = this->volume();
  if (!volume) return Err(volume.error());
  // Another program's open handles make the lock fail until a forced
  // dismount invalidates them.
  if ((*volume)->held_by) return Err(win32_error((*volume)->held_by->error));
  VolumeUse& held = use();
  // Another handle's lock keeps everyone else out.
  if (held.locked_by != nullptr && held.locked_by != this) return Err(access_denied());
  // So does another process's: the lock is the volume's, whoever holds it.
  if (held.locked_by != this) {
    auto lock = take_sharing_lock(platform_.machine.directory, volume_lock_name(name_), LockKind::kExclusive,
                                  kErrorAccessDenied);
    if (!lock) return Err(lock.error());
    hold(std::move(lock).value());
  }
  held.locked_by = this;
  platform_.state.events.push_back("lock " + name_);
  return {};
}

OsStatus SimVolumeHandle::dismount_volume() {
  OsStatus result = try_dismount();
  nlohmann::json event = {{"op", "dismount"}};
  if (!result) event["error"] = result.error().code;
  log(std::move(event));
  return result;
}

OsStatus SimVolumeHandle::try_dismount() {
  if (auto error = check("dismount")) return Err(*error);
  auto volume = this->volume();
  if (!volume) return Err(volume.error());
  SimVolume& v = **volume;
  // Without the lock the dismount is forced: other programs' handles on the
  // volume become invalid, and so does their hold.
  if (use().locked_by != this && v.held_by && v.held_by->until_force_dismount) v.held_by.reset();
  // The file system's cached state goes to the card; a failure is in the
  // event log.
  (void)save_volume_files(platform_.machine, v);
  v.mounted = false;
  platform_.save();
  platform_.state.events.push_back("dismount " + name_);
  return {};
}

}  // namespace wh::sim
