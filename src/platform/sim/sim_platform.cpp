#include "platform/sim/sim_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_events.h"
#include "platform/sim/sim_handles.h"
#include "platform/unicode.h"

namespace wh::sim {
namespace {

constexpr std::string_view kDrivePrefix = "\\\\.\\physicaldrive";
constexpr std::string_view kVolumePrefix = "\\\\?\\volume{";

// The drive number of "\\.\PhysicalDriveN" (any letter case), if that is
// exactly what `path` is. The object manager knows "PhysicalDrive1", not
// "PhysicalDrive01".
std::optional<std::uint32_t> drive_number(const std::string& path) {
  const std::string lower = ascii_lower(path);
  if (!lower.starts_with(kDrivePrefix)) return std::nullopt;
  const std::string_view digits = std::string_view(lower).substr(kDrivePrefix.size());
  if (digits.empty() || (digits.size() > 1 && digits.front() == '0')) return std::nullopt;
  std::uint64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
    if (n > UINT32_MAX) return std::nullopt;
  }
  return static_cast<std::uint32_t>(n);
}

// Windows ends a name at U+0000; the helper never means to.
std::optional<OsError> invalid_name(const std::string& path) {
  if (path.find('\0') != std::string::npos) return win32_error(kErrorInvalidName);
  return std::nullopt;
}

bool is_directory(const std::string& host) {
  struct stat st {};
  return ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_directory(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

// ENOENT is 2 when only the last component is missing, 3 when a directory
// on the way is.
OsError missing_or_failed(int error_number, const std::string& host) {
  if (error_number != ENOENT) return from_errno(error_number);
  const std::size_t slash = host.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "." : host.substr(0, std::max<std::size_t>(slash, 1));
  return win32_error(is_directory(parent) ? kErrorFileNotFound : kErrorPathNotFound);
}

}  // namespace

SimPlatform::SimPlatform(SimMachine m) : machine(std::move(m)) {
  state.fault_hits.assign(machine.faults.size(), 0);
  state.fault_skips.assign(machine.faults.size(), 0);
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

void SimPlatform::log_event(nlohmann::json event) const { append_event(machine.directory, std::move(event)); }

void SimPlatform::save() const {
  // A machine.json that cannot be replaced is a broken test set-up; the
  // next process then finds the old state, which its assertions will show.
  (void)save_machine(machine);
}

void SimPlatform::reload() {
  if (machine.directory.empty()) return;
  auto fresh = load_machine(machine.directory);
  if (!fresh) return;
  fresh->faults = std::move(machine.faults);
  machine = std::move(fresh).value();
}

void SimPlatform::swap_card_if_due(const std::string& path, SimDrive& drive) {
  const int index = find_fault("swap", path);
  if (index < 0) return;
  SimFault& swap = machine.faults[static_cast<std::size_t>(index)];
  if (swap.used || state.opens[ascii_lower(path)] < swap.after_opens) return;
  swap.used = true;
  ++state.fault_hits[static_cast<std::size_t>(index)];
  if (swap.serial) drive.serial = swap.serial;
  if (swap.size_bytes) drive.size_bytes = swap.size_bytes;
  if (swap.backing_file) drive.backing_file = *swap.backing_file;
  // The new card has a descriptor of its own.
  drive.descriptor.reset();
  save();
  log_event({{"op", "swap"}, {"path", path}});
}

OsResult<HandlePtr> SimPlatform::open_drive(const std::string& path, DriveMode mode) {
  static constexpr const char* kModes[] = {"query", "exclusiveRead", "exclusiveWrite"};
  if (auto error = invalid_name(path)) return Err(*error);
  if (auto error = fault("open", path, kModes[static_cast<int>(mode)])) return Err(*error);
  const auto number = drive_number(path);
  SimDrive* drive = number ? find_drive(machine, *number) : nullptr;
  if (drive == nullptr || state.gone.count(ascii_lower(path))) return Err(win32_error(kErrorFileNotFound));
  swap_card_if_due(path, *drive);
  // Raw drives are for administrators only.
  if (!machine.elevated) return Err(win32_error(kErrorAccessDenied));
  const DriveUse& use = state.drive_use[drive->number];
  if (use.exclusive || (mode != DriveMode::kQuery && use.handles > 0)) {
    return Err(win32_error(kErrorSharingViolation));
  }
  const bool writable = mode == DriveMode::kExclusiveWrite;
  // An empty reader opens all the same; its card has no bytes to reach.
  const std::string bytes = drive->no_medium ? "/dev/null" : drive->backing_file;
  const int fd = ::open(bytes.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return Err(from_errno(errno));
  // Only opens that would succeed count towards a disappearance.
  if (auto error = count_open(path)) {
    ::close(fd);
    return Err(*error);
  }
  const char* mode_name = kModes[static_cast<int>(mode)];
  log_event({{"op", "open"}, {"path", path}, {"mode", mode_name}});
  return HandlePtr(std::make_unique<SimDriveHandle>(*this, path, mode_name, *drive, fd, writable,
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

OsResult<HandlePtr> SimPlatform::open_volume(const std::string& name, VolumeAccess access) {
  if (auto error = invalid_name(name)) return Err(*error);
  const char* mode = access == VolumeAccess::kReadWrite ? "volumeReadWrite" : "volumeRead";
  if (auto error = fault("open", name, mode)) return Err(*error);
  const std::string wanted = ascii_lower(name);
  for (const SimVolume& volume : machine.volumes) {
    if (!volume_present(machine, volume)) continue;
    const std::string root = ascii_lower(volume.name);  // with its trailing backslash
    // The name with its backslash is the root directory, which CreateFileW
    // opens only with FILE_FLAG_BACKUP_SEMANTICS.
    if (wanted == root) return Err(win32_error(kErrorAccessDenied));
    if (wanted + "\\" != root) continue;
    if (!machine.elevated) return Err(win32_error(kErrorAccessDenied));
    if (auto error = count_open(name)) return Err(*error);
    const bool writable = access == VolumeAccess::kReadWrite;
    log_event({{"op", "open"}, {"path", name}, {"mode", writable ? "volumeReadWrite" : "volumeRead"}});
    return HandlePtr(std::make_unique<SimVolumeHandle>(*this, name, volume.name, writable));
  }
  return Err(win32_error(kErrorFileNotFound));
}

OsResult<std::vector<std::string>> SimPlatform::list_volumes() {
  if (auto error = fault("listVolumes", "")) return Err(*error);
  std::vector<std::string> names;
  for (const SimVolume& volume : machine.volumes) {
    if (volume_present(machine, volume)) names.push_back(volume.name);
  }
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
  return !invalid_name(path) && ::stat(host_path(path).c_str(), &st) == 0;
}

OsResult<std::optional<FileStatus>> SimPlatform::file_status(const std::string& path) {
  if (auto error = invalid_name(path)) return Err(*error);
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

OsResult<int> SimPlatform::open_host_file(const std::string& path, int flags) {
  if (auto error = invalid_name(path)) return Err(*error);
  if (auto error = fault("open", path, (flags & O_ACCMODE) == O_RDONLY ? "fileRead" : "fileWrite")) {
    return Err(*error);
  }
  const std::string host = host_path(path);
  const auto known = machine.file_attributes.find(host);
  const std::uint32_t attributes = known == machine.file_attributes.end() ? 0 : known->second;
  struct stat st {};
  const bool exists = ::stat(host.c_str(), &st) == 0;
  if (exists && (flags & O_ACCMODE) != O_RDONLY) {
    if (attributes & kAttributeReadOnly) return Err(win32_error(kErrorAccessDenied));
    if ((flags & O_TRUNC) && (attributes & (kAttributeHidden | kAttributeSystem))) {
      return Err(win32_error(kErrorAccessDenied));
    }
  }
  const int fd = ::open(host.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return Err(missing_or_failed(errno, host));
  // CreateFileW refuses a directory without FILE_FLAG_BACKUP_SEMANTICS.
  if (is_directory(fd)) {
    ::close(fd);
    return Err(win32_error(kErrorAccessDenied));
  }
  return fd;
}

OsResult<HandlePtr> SimPlatform::open_file_read(const std::string& path) {
  auto fd = open_host_file(path, O_RDONLY);
  if (!fd) return Err(fd.error());
  log_event({{"op", "open"}, {"path", path}, {"mode", "fileRead"}});
  return HandlePtr(std::make_unique<SimFileHandle>(*this, path, *fd, FileAccess::kRead));
}

OsResult<HandlePtr> SimPlatform::create_file_write(const std::string& path) {
  auto fd = open_host_file(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (!fd) return Err(fd.error());
  log_event({{"op", "open"}, {"path", path}, {"mode", "fileWrite"}});
  return HandlePtr(std::make_unique<SimFileHandle>(*this, path, *fd, FileAccess::kWrite));
}

OsResult<OpenedForWriting> SimPlatform::open_always_write(const std::string& path) {
  struct stat st {};
  const bool existed = !invalid_name(path) && ::stat(host_path(path).c_str(), &st) == 0;
  auto fd = open_host_file(path, O_WRONLY | O_CREAT);
  if (!fd) return Err(fd.error());
  log_event({{"op", "open"}, {"path", path}, {"mode", "fileWrite"}});
  return OpenedForWriting{std::make_unique<SimFileHandle>(*this, path, *fd, FileAccess::kWrite), existed};
}

OsStatus SimPlatform::replace_file(const std::string& from, const std::string& to) {
  if (auto error = invalid_name(from)) return Err(*error);
  if (auto error = invalid_name(to)) return Err(*error);
  if (auto error = fault("replace", to, "fileWrite")) return Err(*error);
  const std::string host_to = host_path(to);
  if (is_directory(host_to)) return Err(win32_error(kErrorAccessDenied));
  const auto known = machine.file_attributes.find(host_to);
  if (known != machine.file_attributes.end() && (known->second & kAttributeReadOnly)) {
    return Err(win32_error(kErrorAccessDenied));
  }
  const std::string host_from = host_path(from);
  if (::rename(host_from.c_str(), host_to.c_str()) != 0) return Err(missing_or_failed(errno, host_from));
  log_event({{"op", "replace"}, {"path", to}, {"from", from}});
  return {};
}

OsStatus SimPlatform::delete_file(const std::string& path) {
  if (auto error = invalid_name(path)) return Err(*error);
  if (auto error = fault("delete", path, "fileWrite")) return Err(*error);
  const std::string host = host_path(path);
  if (is_directory(host)) return Err(win32_error(kErrorAccessDenied));
  if (::unlink(host.c_str()) != 0) return Err(missing_or_failed(errno, host));
  log_event({{"op", "delete"}, {"path", path}});
  return {};
}

Instant SimPlatform::now() {
  // Exact for any count of bytes: no rounding accumulates over many calls.
  const long double transfer_ns = static_cast<long double>(state.bytes_moved) * machine.ms_per_mib * 1e6L / 1048576.0L;
  return std::chrono::steady_clock::now().time_since_epoch() + state.skipped_sleep +
         std::chrono::nanoseconds(static_cast<std::int64_t>(transfer_ns));
}

void SimPlatform::count_transfer(std::uint64_t bytes) { state.bytes_moved += bytes; }

void SimPlatform::sleep_ms(std::uint32_t milliseconds) {
  const std::chrono::nanoseconds asked = std::chrono::milliseconds(milliseconds);
  const auto slept = std::chrono::duration_cast<std::chrono::nanoseconds>(asked * machine.sleep_scale);
  std::this_thread::sleep_for(slept);
  state.skipped_sleep += asked - slept;
}

}  // namespace wh::sim
