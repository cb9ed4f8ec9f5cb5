#include "platform/sim/sim_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <thread>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_events.h"
#include "platform/sim/sim_handles.h"
#include "platform/sim/sim_sharing.h"
#include "platform/sim/sim_volume_paths.h"
#include "platform/unicode.h"

namespace wh::sim {
namespace {

constexpr std::string_view kDrivePrefix = "\\\\.\\physicaldrive";

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

}  // namespace

SimPlatform::SimPlatform(SimMachine m) : machine(std::move(m)) {
  state.fault_hits.assign(machine.faults.size(), 0);
  state.fault_skips.assign(machine.faults.size(), 0);
}

std::optional<OsError> SimPlatform::count_open(const std::string& path) {
  const std::lock_guard guard(bookkeeping_);
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
  const std::lock_guard guard(bookkeeping_);
  fresh->faults = std::move(machine.faults);
  machine = std::move(fresh).value();
}

void SimPlatform::swap_card_if_due(const std::string& path, SimDrive& drive) {
  const std::lock_guard guard(bookkeeping_);
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
  // The same rule against every other process on the machine.
  auto shared = take_sharing_lock(machine.directory, drive_lock_name(drive->number),
                                  mode == DriveMode::kQuery ? LockKind::kShared : LockKind::kExclusive,
                                  kErrorSharingViolation);
  if (!shared) return Err(shared.error());
  const bool writable = mode == DriveMode::kExclusiveWrite;
  // An empty reader opens all the same; its card has no bytes to reach.
  const std::string bytes = drive->no_medium ? "/dev/null" : drive->backing_file;
  // A block device behind the drive (a throttled loop device standing in
  // for a card) is opened unbuffered, as Windows opens raw drives: every
  // transfer reaches the device at its own pace.
  struct stat backing {};
  const bool device = ::stat(bytes.c_str(), &backing) == 0 && S_ISBLK(backing.st_mode);
  const int fd = ::open(bytes.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | (device ? O_DIRECT : 0));
  if (fd < 0) return Err(from_errno(errno));
  // Only opens that would succeed count towards a disappearance.
  if (auto error = count_open(path)) {
    ::close(fd);
    return Err(*error);
  }
  const char* mode_name = kModes[static_cast<int>(mode)];
  log_event({{"op", "open"}, {"path", path}, {"mode", mode_name}});
  auto handle = std::make_unique<SimDriveHandle>(*this, path, mode_name, *drive, fd, writable,
                                                 mode != DriveMode::kQuery);
  handle->hold(std::move(shared).value());
  return HandlePtr(std::move(handle));
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

OsResult<std::string> SimPlatform::windows_directory() { return machine.windows_directory; }

OsResult<std::string> SimPlatform::volume_path_name(const std::string& path) {
  if (auto error = invalid_name(path)) return Err(*error);
  constexpr std::size_t kGuidRoot = 49;  // "\\?\Volume{" GUID "}\"
  if (ascii_lower(path).starts_with("\\\\?\\volume{") && path.size() >= kGuidRoot) return path.substr(0, kGuidRoot);
  const bool lettered = path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
  if (!lettered) return Err(win32_error(kErrorInvalidName));
  return path.substr(0, 2) + "\\";
}

OsResult<std::string> SimPlatform::volume_name_for_mount_point(const std::string& mount_point) {
  if (auto error = invalid_name(mount_point)) return Err(*error);
  if (mount_point.size() != 3 || mount_point[1] != ':' || mount_point[2] != '\\') {
    return Err(win32_error(kErrorInvalidName));
  }
  const std::string letter = ascii_lower(mount_point.substr(0, 1));
  for (const SimVolume& volume : machine.volumes) {
    if (!volume_present(machine, volume)) continue;
    for (const std::string& held : volume.letters) {
      if (ascii_lower(held) == letter) return volume.name;
    }
  }
  return Err(win32_error(kErrorFileNotFound));
}

Instant SimPlatform::now() {
  const std::lock_guard guard(bookkeeping_);
  // Exact for any count of bytes: no rounding accumulates over many calls.
  const long double transfer_ns = static_cast<long double>(state.bytes_moved) * machine.ms_per_mib * 1e6L / 1048576.0L;
  return std::chrono::steady_clock::now().time_since_epoch() + state.skipped_sleep +
         std::chrono::nanoseconds(static_cast<std::int64_t>(transfer_ns));
}

void SimPlatform::count_transfer(std::uint64_t bytes) {
  const std::lock_guard guard(bookkeeping_);
  state.bytes_moved += bytes;
}

bool SimPlatform::gone(const std::string& path) const {
  const std::lock_guard guard(bookkeeping_);
  return state.gone.count(ascii_lower(path)) != 0;
}

void SimPlatform::sleep_ms(std::uint32_t milliseconds) {
  const std::chrono::nanoseconds asked = std::chrono::milliseconds(milliseconds);
  const auto slept = std::chrono::duration_cast<std::chrono::nanoseconds>(asked * machine.sleep_scale);
  std::this_thread::sleep_for(slept);
  const std::lock_guard guard(bookkeeping_);
  state.skipped_sleep += asked - slept;
}

}  // namespace wh::sim
