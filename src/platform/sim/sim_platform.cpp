#include "platform/sim/sim_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_handles.h"
#include "platform/unicode.h"

namespace wh::sim {
namespace {

constexpr std::string_view kDrivePrefix = "\\\\.\\physicaldrive";
constexpr std::string_view kVolumePrefix = "\\\\?\\volume{";

// The drive number of "\\.\PhysicalDriveN" (any letter case), if that is
// exactly what `path` is.
std::optional<std::uint32_t> drive_number(const std::string& path) {
  const std::string lower = ascii_lower(path);
  if (!lower.starts_with(kDrivePrefix) || lower.size() == kDrivePrefix.size()) return std::nullopt;
  std::uint64_t n = 0;
  for (char c : std::string_view(lower).substr(kDrivePrefix.size())) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
    if (n > UINT32_MAX) return std::nullopt;
  }
  return static_cast<std::uint32_t>(n);
}

std::string without_trailing_backslashes(std::string name) {
  while (!name.empty() && name.back() == '\\') name.pop_back();
  return name;
}

bool is_directory(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

SimPlatform::SimPlatform(SimMachine m) : machine(std::move(m)) {
  state.fault_hits.assign(machine.faults.size(), 0);
}

int SimPlatform::find_fault(std::string_view operation, const std::string& path) const {
  const std::string lower = ascii_lower(path);
  for (std::size_t i = 0; i < machine.faults.size(); ++i) {
    const SimFault& f = machine.faults[i];
    if (f.operation != operation) continue;
    if (f.path && ascii_lower(*f.path) != lower) continue;
    if (f.count && state.fault_hits[i] >= *f.count) continue;
    return static_cast<int>(i);
  }
  return -1;
}

OsError SimPlatform::fire(int index) {
  ++state.fault_hits[static_cast<std::size_t>(index)];
  return win32_error(machine.faults[static_cast<std::size_t>(index)].error);
}

std::optional<OsError> SimPlatform::fault(std::string_view operation, const std::string& path) {
  const int index = find_fault(operation, path);
  if (index < 0) return std::nullopt;
  return fire(index);
}

std::optional<OsError> SimPlatform::count_open(const std::string& path) {
  const std::string key = ascii_lower(path);
  if (state.gone.count(key)) return win32_error(kErrorFileNotFound);
  const int vanish = find_fault("disappear", path);
  if (vanish >= 0 && state.opens[key] >= machine.faults[static_cast<std::size_t>(vanish)].after_opens) {
    state.gone.insert(key);
    return fire(vanish);
  }
  ++state.opens[key];
  return std::nullopt;
}

OsResult<HandlePtr> SimPlatform::open_drive(const std::string& path, DriveMode mode) {
  if (auto error = fault("open", path)) return Err(*error);
  const auto number = drive_number(path);
  const SimDrive* drive = nullptr;
  for (const SimDrive& d : machine.drives) {
    if (number && d.number == *number) drive = &d;
  }
  if (drive == nullptr || state.gone.count(ascii_lower(path))) return Err(win32_error(kErrorFileNotFound));
  // Raw drives are for administrators only.
  if (!machine.elevated) return Err(win32_error(kErrorAccessDenied));
  const DriveUse& use = state.drive_use[drive->number];
  if (use.exclusive || (mode != DriveMode::kQuery && use.handles > 0)) {
    return Err(win32_error(kErrorSharingViolation));
  }
  const bool writable = mode == DriveMode::kExclusiveWrite;
  const int fd = ::open(drive->backing_file.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return Err(from_errno(errno));
  // Only opens that would succeed count towards a disappearance.
  if (auto error = count_open(path)) {
    ::close(fd);
    return Err(*error);
  }
  return HandlePtr(std::make_unique<SimDriveHandle>(*this, path, *drive, fd, writable,
                                                    mode != DriveMode::kQuery));
}

OsResult<HandlePtr> SimPlatform::open_drive_for_query(const std::string& path) {
  return open_drive(path, DriveMode::kQuery);
}
OsResult<HandlePtr> SimPlatform::open_drive_exclusive_read(const std::string& path) {
  return open_drive(path, DriveMode::kExclusiveRead);
}
OsResult<HandlePtr> SimPlatform::open_drive_exclusive_write(const std::string& path) {
  return open_drive(path, DriveMode::kExclusiveWrite);
}

OsResult<HandlePtr> SimPlatform::open_volume(const std::string& name, VolumeAccess) {
  if (auto error = fault("open", name)) return Err(*error);
  const std::string wanted = ascii_lower(without_trailing_backslashes(name));
  for (const SimVolume& volume : machine.volumes) {
    if (ascii_lower(without_trailing_backslashes(volume.name)) != wanted) continue;
    if (!machine.elevated) return Err(win32_error(kErrorAccessDenied));
    if (auto error = count_open(name)) return Err(*error);
    return HandlePtr(std::make_unique<SimVolumeHandle>(*this, name, volume));
  }
  return Err(win32_error(kErrorFileNotFound));
}

std::vector<std::string> SimPlatform::list_volumes() {
  std::vector<std::string> names;
  for (const SimVolume& volume : machine.volumes) names.push_back(volume.name);
  return names;
}

std::string SimPlatform::host_path(const std::string& path) const {
  const std::string lower = ascii_lower(path);
  if (!lower.starts_with(kVolumePrefix)) return path;
  for (const SimVolume& volume : machine.volumes) {
    const std::string root = ascii_lower(volume.name);  // ends in a backslash
    if (volume.directory.empty() || !lower.starts_with(root) || lower.size() == root.size()) continue;
    std::string relative = path.substr(root.size());
    for (char& c : relative) {
      if (c == '\\') c = '/';
    }
    return volume.directory + "/" + relative;
  }
  return path;
}

bool SimPlatform::file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(host_path(path).c_str(), &st) == 0;
}

OsResult<std::optional<FileStatus>> SimPlatform::file_status(const std::string& path) {
  if (auto error = fault("status", path)) return Err(*error);
  struct stat st {};
  if (::stat(host_path(path).c_str(), &st) != 0) {
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

OsResult<HandlePtr> SimPlatform::open_file_read(const std::string& path) {
  if (auto error = fault("open", path)) return Err(*error);
  const int fd = ::open(host_path(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Err(from_errno(errno));
  // CreateFileW refuses a directory without FILE_FLAG_BACKUP_SEMANTICS.
  if (is_directory(fd)) {
    ::close(fd);
    return Err(win32_error(kErrorAccessDenied));
  }
  return HandlePtr(std::make_unique<SimFileHandle>(*this, path, fd));
}

OsResult<HandlePtr> SimPlatform::create_file_write(const std::string& path) {
  if (auto error = fault("open", path)) return Err(*error);
  const int fd = ::open(host_path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Err(from_errno(errno));
  return HandlePtr(std::make_unique<SimFileHandle>(*this, path, fd));
}

OsResult<OpenedForWriting> SimPlatform::open_always_write(const std::string& path) {
  if (auto error = fault("open", path)) return Err(*error);
  const std::string host = host_path(path);
  struct stat st {};
  const bool existed = ::stat(host.c_str(), &st) == 0;
  const int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Err(from_errno(errno));
  return OpenedForWriting{std::make_unique<SimFileHandle>(*this, path, fd), existed};
}

Instant SimPlatform::now() {
  return std::chrono::steady_clock::now().time_since_epoch() + state.skipped_sleep;
}

void SimPlatform::sleep_ms(std::uint32_t milliseconds) {
  const std::chrono::nanoseconds asked = std::chrono::milliseconds(milliseconds);
  const auto slept = std::chrono::duration_cast<std::chrono::nanoseconds>(asked * machine.sleep_scale);
  std::this_thread::sleep_for(slept);
  state.skipped_sleep += asked - slept;
}

}  // namespace wh::sim
