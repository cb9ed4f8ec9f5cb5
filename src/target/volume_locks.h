// Taking the target's volumes out of use before raw access: find every volume
// that lies on the target disk, lock and dismount it (with retries and a
// forced dismount when other programs hold it), and keep the locked handles
// until the command ends. Every single volume operation is preceded by a
// fresh proof of the disk's identity and of the volume still lying on it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame/errors.h"
#include "platform/platform.h"
#include "target/target_identity.h"

namespace wh {

// A failure told as a message; the caller picks the error code.
using MessageStatus = Result<void, std::string>;
template <typename T>
using MessageResult = Result<T, std::string>;

// The locked, dismounted handles of every volume on the target, in
// enumeration order. Closing them drops the locks: `release` closes them in
// order, and so does the destructor, on every path. Commands release it after
// closing their own raw handles.
class VolumeLockSet {
 public:
  VolumeLockSet() = default;
  VolumeLockSet(VolumeLockSet&&) = default;
  VolumeLockSet& operator=(VolumeLockSet&& other) noexcept;
  ~VolumeLockSet() { release(); }

  void keep(HandlePtr handle) { handles_.push_back(std::move(handle)); }
  void release();
  std::size_t size() const { return handles_.size(); }

 private:
  std::vector<HandlePtr> handles_;
};

// The identity check that precedes every volume operation.
MessageStatus revalidate_for_volume_operation(Platform& platform, const TargetIdentity& identity);

// Opens the volume device: `name` without its trailing backslashes (with
// them it would be the volume's root directory).
OsResult<HandlePtr> open_target_volume(Platform& platform, const std::string& name, VolumeAccess access);

// Every extent of the volume lies on `drive_number`, and there is at least one.
bool volume_on_target(Handle& volume, std::uint32_t drive_number);

struct LockOutcome {
  enum class Kind { kLocked, kOsError, kRefused } kind = Kind::kLocked;
  OsError error;        // kOsError: the last FSCTL_LOCK_VOLUME failure
  std::string message;  // kRefused: why the volume may not be touched
};

// FSCTL_LOCK_VOLUME, retried every 150 ms while it fails with 5 or 32 and
// less than 3 seconds have passed, each attempt after a fresh identity and
// ownership check.
LockOutcome lock_volume(Platform& platform, Handle& volume, const TargetIdentity& identity);

// FSCTL_DISMOUNT_VOLUME after the same checks.
MessageStatus dismount_volume(Platform& platform, Handle& volume, const TargetIdentity& identity);

// Locks and dismounts every volume on the target. On failure no volume
// handle stays open.
MessageResult<VolumeLockSet> acquire_volume_locks(Platform& platform, const TargetIdentity& identity);

struct PreparedTarget {
  TargetIdentity identity;
  VolumeLockSet locks;
};

// For commands that only read the target: the drive number of `path`, the
// expected identity proven, and the volume locks taken (UNMOUNT_FAILED).
HelperResult<PreparedTarget> prepare_target(Platform& platform, const nlohmann::json& payload,
                                            const std::string& path, std::string_view step);

// Best-effort dismount for detach: problems become warnings, nothing stays
// locked. The error is a refusal that ends the command.
MessageResult<std::vector<std::string>> dismount_target_volumes(Platform& platform,
                                                                const TargetIdentity& identity);

// The 49-character volume GUID path: "\\?\Volume{", a GUID in 8-4-4-4-12
// form of hexadecimal digits of either case, "}\".
bool is_volume_guid_path(std::string_view path);

// Proves that the volume named by a volume GUID path lies only on the target
// and holds FAT, FAT32 or exFAT (DEVICE_NOT_REMOVABLE otherwise).
HelperStatus prove_boot_volume(Platform& platform, const TargetIdentity& identity, const std::string& path);

}  // namespace wh
