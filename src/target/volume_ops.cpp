// The single volume operations, each behind a fresh identity proof.
#include <chrono>

#include "discovery/device_query.h"
#include "target/volume_locks.h"

namespace wh {
namespace {

constexpr std::uint32_t kLockRetryMs = 150;
constexpr auto kLockWindow = std::chrono::seconds(3);
constexpr const char* kLeftTheDisk = "Reopened volume no longer belongs to the selected target.";

bool in_use(std::uint32_t code) { return code == kErrorAccessDenied || code == kErrorSharingViolation; }

// The identity and ownership checks before a lock or dismount attempt.
MessageStatus may_touch(Platform& platform, Handle& volume, const TargetIdentity& identity) {
  if (auto same = revalidate_for_volume_operation(platform, identity); !same) return same;
  if (!volume_on_target(volume, identity.physical_drive_number)) return Err(std::string(kLeftTheDisk));
  return {};
}

}  // namespace

VolumeLockSet& VolumeLockSet::operator=(VolumeLockSet&& other) noexcept {
  if (this != &other) {
    release();
    handles_ = std::move(other.handles_);
  }
  return *this;
}

void VolumeLockSet::release() {
  for (HandlePtr& handle : handles_) handle.reset();
  handles_.clear();
}

MessageStatus revalidate_for_volume_operation(Platform& platform, const TargetIdentity& identity) {
  std::optional<TargetIdentity> live;
  if (auto query = open_drive_for_query(platform, identity.physical_drive_number)) {
    live = query_live_identity(**query, identity.physical_drive_number);
  }
  if (!live) return Err(std::string("Could not revalidate the selected removable target before a volume operation."));
  if (live->physical_drive_number != identity.physical_drive_number || live->size_bytes != identity.size_bytes) {
    return Err(std::string("Target identity changed before a volume operation."));
  }
  if (identity.serial) {
    const auto live_serial = normalize_serial(live->serial);
    if (!live_serial || *live_serial != *identity.serial) {
      return Err(std::string("Target serial changed before a volume operation."));
    }
  }
  return {};
}

OsResult<HandlePtr> open_target_volume(Platform& platform, const std::string& name, VolumeAccess access) {
  std::string device = name;
  while (!device.empty() && device.back() == '\\') device.pop_back();
  return platform.open_volume(device, access);
}

bool volume_on_target(Handle& volume, std::uint32_t drive_number) {
  auto disks = volume.volume_disk_extents();
  if (!disks || disks->empty()) return false;
  for (std::uint32_t disk : *disks) {
    if (disk != drive_number) return false;
  }
  return true;
}

LockOutcome lock_volume(Platform& platform, Handle& volume, const TargetIdentity& identity) {
  const Instant start = platform.now();
  while (true) {
    if (auto allowed = may_touch(platform, volume, identity); !allowed) {
      return {LockOutcome::Kind::kRefused, {}, std::move(allowed).error()};
    }
    auto locked = volume.lock_volume();
    if (locked) return {};
    const OsError& error = locked.error();
    if (!in_use(error.code) || platform.now() - start >= kLockWindow) {
      return {LockOutcome::Kind::kOsError, error, {}};
    }
    platform.sleep_ms(kLockRetryMs);
  }
}

MessageStatus dismount_volume(Platform& platform, Handle& volume, const TargetIdentity& identity) {
  if (auto allowed = may_touch(platform, volume, identity); !allowed) return allowed;
  if (auto dismounted = volume.dismount_volume(); !dismounted) return Err(dismounted.error().text());
  return {};
}

}  // namespace wh
