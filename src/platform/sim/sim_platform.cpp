#include "platform/sim/sim_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_events.h"
#include "platform/sim/sim_machine_file.h"
#include "platform/sim/sim_machine_lock.h"
#include "platform/sim/sim_drive_handle.h"
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

void SimPlatform::change_machine(const std::function<void(SimMachine&)>& change) {
  const MachineLock lock(machine.directory);
  reload();
  change(machine);
  save();
}

void SimPlatform::reload() {
  if (machine.directory.empty()) return;
  auto fresh = load_machine(machine.directory);
  if (!fresh) return;
  const std::lock_guard guard(bookkeeping_);
  fresh->faults = std::move(machine.faults);
  machine = std::move(fresh).value();
}

void SimPlatform::swap_card_if_due(const std::string& path, std::uint32_t number) {
  const std::lock_guard guard(bookkeeping_);
  const int index = find_fault("swap", path);
  if (index < 0) return;
  SimFault& swap = machine.faults[static_cast<std::size_t>(index)];
  if (swap.used || state.opens[ascii_lower(path)] < swap.after_opens) return;
  swap.used = true;
  ++state.fault_hits[static_cast<std::size_t>(index)];
  const SimFault card = swap;  // the faults are kept, but not by reference
  change_machine([&](SimMachine& changed) {
    SimDrive* drive = find_drive(changed, number);
    if (drive == nullptr) return;
    if (card.serial) drive->serial = card.serial;
    if (card.size_bytes) drive->size_bytes = card.size_bytes;
    if (card.backing_file) drive->backing_file = *card.backing_file;
    // The new card has a descriptor of its own.
    drive->descriptor.reset();
  });
  log_event({{"op", "swap"}, {"path", path}});
}

OsResult<HandlePtr> SimPlatform::open_drive(const std::string& path, DriveMode mode) {
  static constexpr const char* kModes[] = {"query", "exclusiveRead", "exclusiveWrite"};
  if (auto error = invalid_name(path)) return Err(*error);
  if (auto error = fault("open", path, kModes[static_cast<int>(mode)])) return Err(*error);
  const auto number = drive_number(path);
  SimDrive* drive = number ? find_drive(machine, *number) : nullptr;
  if (drive == nullptr || state.gone.count(ascii_lower(path))) return Err(win32_error(kErrorFileNotFound));
  swap_card_if_due(path, *number);
  drive = find_drive(machine, *number);
  if (drive == nullptr) return Err(win32_error(kErrorFileNotFound));
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

bool SimPlatform::gone(const std::string& path) const {
  const std::lock_guard guard(bookkeeping_);
  return state.gone.count(ascii_lower(path)) != 0;
}

}  // namespace wh::sim
