// A raw physical drive of the simulated Windows. Transfers follow what
// Windows' disk class driver does with a read or write (disk.sys
// DiskReadWriteVerification, classpnp ClassReadWrite): offset and length must
// be whole sectors, else STATUS_INVALID_PARAMETER (87); a transfer that does
// not lie inside the disk goes to the device, which refuses the logical block
// address (ILLEGAL REQUEST, LBA out of range), and classpnp reports
// STATUS_NONEXISTENT_SECTOR (27); a zero-length transfer completes at once.
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_drive_handle.h"
#include "platform/sim/sim_platform.h"
#include "platform/unicode.h"

namespace wh::sim {
namespace {

constexpr std::uint64_t kDiskAttributeReadOnly = 0x2;

}  // namespace

SimDriveHandle::SimDriveHandle(SimPlatform& platform, std::string path, std::string mode, const SimDrive& drive,
                               int fd, bool writable, bool exclusive)
    : SimHandle(platform, std::move(path), std::move(mode)), number_(drive.number), card_(card_of(drive)),
      fd_(fd), writable_(writable), exclusive_(exclusive) {
  DriveUse& use = platform_.state.drive_use[number_];
  ++use.handles;
  use.exclusive = use.exclusive || exclusive_;
  corruptions_ = platform_.claim_corruptions(path_, mode_);
}

SimDriveHandle::~SimDriveHandle() {
  ::close(fd_);
  DriveUse& use = platform_.state.drive_use[number_];
  --use.handles;
  if (exclusive_) use.exclusive = false;
}

OsStatus SimDriveHandle::update_disk_properties() {
  if (auto error = check("updateProperties")) {
    log({{"op", "updateProperties"}, {"error", error->code}});
    return Err(*error);
  }
  auto drive = this->drive();
  if (!drive) return Err(drive.error());
  if ((*drive)->no_medium) return Err(win32_error(kErrorNotReady));
  log({{"op", "updateProperties"}});
  platform_.mount_after_rewrite(number_);
  return {};
}

SimDriveHandle::Card SimDriveHandle::card_of(const SimDrive& drive) {
  return {drive.backing_file, drive.serial, drive.size_bytes, drive.no_medium};
}

OsResult<const SimDrive*> SimDriveHandle::drive() const {
  if (platform_.gone(path_)) return Err(win32_error(kErrorDeviceNotConnected));
  const SimDrive* drive = find_drive(platform_.machine, number_);
  if (drive == nullptr) return Err(win32_error(kErrorDeviceNotConnected));
  if (card_of(*drive) != card_) return Err(win32_error(kErrorMediaChanged));
  return drive;
}

std::uint64_t SimDriveHandle::length(const SimDrive& drive) const {
  if (drive.size_bytes) return *drive.size_bytes;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return 0;
  // A block device (the bench's loop device) is as long as it says.
  std::uint64_t device_bytes = 0;
  if (S_ISBLK(st.st_mode) && ::ioctl(fd_, BLKGETSIZE64, &device_bytes) == 0) return device_bytes;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<OsError> SimDriveHandle::sector_rule(const void* buffer, std::size_t size, const SimDrive& drive) const {
  // Raw drive handles are not cached: the device transfers straight from
  // the caller's memory, which must meet its alignment (here the sector
  // size up to a page, the strictest a device asks for).
  const std::uint64_t sector = drive.logical_sector_bytes;
  const std::uint64_t alignment = std::min<std::uint64_t>(sector, 4096);
  const bool aligned = size == 0 || reinterpret_cast<std::uintptr_t>(buffer) % alignment == 0;
  if (!aligned || position_ % sector != 0 || size % sector != 0) return win32_error(kErrorInvalidParameter);
  if (size == 0) return std::nullopt;
  const std::uint64_t end = length(drive);
  // A transfer starting at the end is outside the disk as well.
  if (position_ >= end || size > end - position_) return win32_error(kErrorSectorNotFound);
  return std::nullopt;
}

std::size_t SimDriveHandle::corrupt(std::uint64_t offset, std::span<std::uint8_t> data) const {
  std::size_t replaced = 0;
  for (std::size_t index : corruptions_) {
    const SimFault& fault = platform_.machine.faults[index];
    const std::uint64_t from = std::max(offset, fault.offset);
    const std::uint64_t to = std::min(offset + data.size(), fault.offset + fault.bytes.size());
    for (std::uint64_t at = from; at < to; ++at) data[at - offset] = fault.bytes[at - fault.offset];
    if (to > from) replaced += static_cast<std::size_t>(to - from);
  }
  return replaced;
}

OsResult<std::size_t> SimDriveHandle::read(std::span<std::uint8_t> buffer) {
  const std::uint64_t at = position_;
  corrupted_ = 0;
  OsResult<std::size_t> result = read_at(buffer);
  nlohmann::json more = nlohmann::json::object();
  if (corrupted_ > 0) more["corrupted"] = corrupted_;
  return logged("read", at, buffer.size(), std::move(result), std::move(more));
}

OsResult<std::size_t> SimDriveHandle::write(std::span<const std::uint8_t> data) {
  const std::uint64_t at = position_;
  return logged("write", at, data.size(), write_at(data));
}

OsResult<std::size_t> SimDriveHandle::read_at(std::span<std::uint8_t> buffer) {
  auto drive = this->drive();
  if (!drive) return Err(drive.error());
  if ((*drive)->no_medium) return Err(win32_error(kErrorNotReady));
  if (auto refused = sector_rule(buffer.data(), buffer.size(), **drive)) return Err(*refused);
  if (buffer.empty()) return 0;
  auto allowed = allowance("read", buffer.size(), read_);
  if (!allowed || *allowed == 0) return allowed;
  const std::size_t n = *allowed;
  const ssize_t got = ::pread(fd_, buffer.data(), n, static_cast<off_t>(position_));
  if (got < 0) return Err(from_errno(errno));
  // The device is as long as it says; a shorter backing file reads as zeros.
  std::memset(buffer.data() + got, 0, n - static_cast<std::size_t>(got));
  corrupted_ = corrupt(position_, buffer.first(n));
  position_ += n;
  read_ += n;
  platform_.count_transfer(n);
  return n;
}

OsResult<std::size_t> SimDriveHandle::write_at(std::span<const std::uint8_t> data) {
  if (!writable_) return Err(win32_error(kErrorAccessDenied));
  auto drive = this->drive();
  if (!drive) return Err(drive.error());
  if ((*drive)->no_medium) return Err(win32_error(kErrorNotReady));
  if (drive_read_only(**drive)) return Err(win32_error(kErrorWriteProtect));
  if (auto refused = sector_rule(data.data(), data.size(), **drive)) return Err(*refused);
  if (data.empty()) return 0;
  if (!platform_.raw_write_allowed(number_, position_, data.size())) return Err(win32_error(kErrorAccessDenied));
  auto allowed = allowance("write", data.size(), written_);
  if (!allowed || *allowed == 0) return allowed;
  const ssize_t n = ::pwrite(fd_, data.data(), *allowed, static_cast<off_t>(position_));
  if (n < 0) return Err(from_errno(errno));
  position_ += static_cast<std::uint64_t>(n);
  written_ += static_cast<std::uint64_t>(n);
  platform_.count_transfer(static_cast<std::uint64_t>(n));
  return static_cast<std::size_t>(n);
}

OsStatus SimDriveHandle::seek(std::uint64_t offset) {
  if (auto error = check("seek")) return Err(*error);
  if (auto drive = this->drive(); !drive) return Err(drive.error());
  // SetFilePointerEx takes a signed offset.
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return Err(win32_error(kErrorInvalidParameter));
  position_ = offset;
  return {};
}

OsStatus SimDriveHandle::flush() {
  if (!writable_) return Err(win32_error(kErrorAccessDenied));
  if (auto error = check("flush")) {
    log({{"op", "flush"}, {"error", error->code}});
    return Err(*error);
  }
  if (auto drive = this->drive(); !drive) return Err(drive.error());
  if (::fsync(fd_) != 0) return Err(from_errno(errno));
  log({{"op", "flush"}});
  return {};
}

OsResult<std::uint64_t> SimDriveHandle::disk_length() {
  if (auto error = check("length")) return Err(*error);
  auto drive = this->drive();
  if (!drive) return Err(drive.error());
  if ((*drive)->no_medium) return Err(win32_error(kErrorNotReady));
  return length(**drive);
}

OsResult<Bytes> SimDriveHandle::storage_descriptor() {
  if (auto error = check("descriptor")) return Err(*error);
  auto drive = this->drive();
  if (!drive) return Err(drive.error());
  return (*drive)->descriptor ? *(*drive)->descriptor : build_storage_descriptor(**drive);
}

OsResult<std::uint64_t> SimDriveHandle::disk_attributes() {
  if (auto error = check("attributes")) return Err(*error);
  auto drive = this->drive();
  if (!drive) return Err(drive.error());
  return drive_read_only(**drive) ? kDiskAttributeReadOnly : 0;
}

OsResult<std::uint32_t> SimDriveHandle::logical_sector_bytes() {
  if (auto error = check("geometry")) return Err(*error);
  auto drive = this->drive();
  if (!drive) return Err(drive.error());
  if ((*drive)->no_medium) return Err(win32_error(kErrorNotReady));
  return (*drive)->logical_sector_bytes;
}

}  // namespace wh::sim
