// Whole-target volume work: every volume on the target locked and dismounted
// for raw access, dismounted as best it can be for detach, or one boot volume
// proven to lie on the target alone.
#include "target/volume_locks.h"

namespace wh {
namespace {

constexpr const char* kCloseOthers =
    ". Close File Explorer windows and other programs using this target, then try again.";

bool in_use(const OsError& error) {
  return error.code == kErrorAccessDenied || error.code == kErrorSharingViolation;
}

// The volume names after a fresh identity proof. Only the end of the list
// ends the enumeration: a failing one must not pass for "no volumes", or
// raw access would begin with volumes still mounted.
MessageResult<std::vector<std::string>> enumerate_volumes(Platform& platform, const TargetIdentity& identity,
                                                          bool& enumeration_failed) {
  enumeration_failed = false;
  if (auto same = revalidate_for_volume_operation(platform, identity); !same) return Err(std::move(same).error());
  auto names = platform.list_volumes();
  if (!names) {
    enumeration_failed = true;
    return Err("Unable to enumerate mounted volumes: " + names.error().text());
  }
  return std::move(names).value();
}

enum class Placement { kElsewhere, kOnTarget, kSpanning };

// Where `name` lies, asked through a read-only handle that is closed again
// at once. A volume that cannot be opened or asked counts as elsewhere.
Placement placement_of(Platform& platform, const std::string& name, std::uint32_t drive_number) {
  auto probe = open_target_volume(platform, name, VolumeAccess::kRead);
  if (!probe) return Placement::kElsewhere;
  auto disks = (*probe)->volume_disk_extents();
  if (!disks) return Placement::kElsewhere;
  bool here = false, there = false;
  for (std::uint32_t disk : *disks) (disk == drive_number ? here : there) = true;
  if (!here) return Placement::kElsewhere;
  return there ? Placement::kSpanning : Placement::kOnTarget;
}

bool listed_on_target(Platform& platform, const std::string& name, std::uint32_t drive_number) {
  return placement_of(platform, name, drive_number) == Placement::kOnTarget;
}

// Locks and dismounts one volume, or explains why not.
MessageStatus lock_and_dismount(Platform& platform, Handle& volume, const std::string& name,
                                const TargetIdentity& identity) {
  LockOutcome first = lock_volume(platform, volume, identity);
  switch (first.kind) {
    case LockOutcome::Kind::kLocked:
      if (auto dismounted = dismount_volume(platform, volume, identity); !dismounted) {
        return Err("Unable to dismount mounted volume " + name + ": " + std::move(dismounted).error());
      }
      return {};
    case LockOutcome::Kind::kRefused:
      return Err(std::move(first.message));
    case LockOutcome::Kind::kOsError:
      break;
  }
  const std::string first_text = first.error.text();
  if (!in_use(first.error)) {
    return Err("Unable to lock mounted volume " + name + ": " + first_text + kCloseOthers);
  }
  // Other programs hold it: dismount it from under them, then lock it.
  if (auto forced = dismount_volume(platform, volume, identity); !forced) {
    return Err("Unable to lock or force-dismount mounted volume " + name + ": lock failed with " + first_text +
               "; force dismount failed with " + std::move(forced).error() + kCloseOthers);
  }
  LockOutcome second = lock_volume(platform, volume, identity);
  switch (second.kind) {
    case LockOutcome::Kind::kLocked:
      return {};
    case LockOutcome::Kind::kRefused:
      return Err(std::move(second.message));
    case LockOutcome::Kind::kOsError:
      break;
  }
  return Err("Unable to lock mounted volume " + name + " after force-dismount: initial lock failed with " +
             first_text + "; lock retry failed with " + second.error.text() + kCloseOthers);
}

// One volume for detach: dismounted if at all possible, never left locked.
MessageResult<std::optional<std::string>> dismount_for_detach(Platform& platform, Handle& volume,
                                                              const std::string& name,
                                                              const TargetIdentity& identity) {
  const std::string stayed = "Could not dismount mounted volume " + name +
                             ". Close File Explorer windows and other programs using this target, then remove it.";
  if (dismount_volume(platform, volume, identity)) return std::optional<std::string>();
  LockOutcome locked = lock_volume(platform, volume, identity);
  switch (locked.kind) {
    case LockOutcome::Kind::kRefused:
      return Err(std::move(locked.message));
    case LockOutcome::Kind::kOsError:
      if (!in_use(locked.error)) return std::optional<std::string>(stayed);
      [[fallthrough]];
    case LockOutcome::Kind::kLocked:
      if (dismount_volume(platform, volume, identity)) return std::optional<std::string>();
      return std::optional<std::string>(stayed);
  }
  return std::optional<std::string>(stayed);
}

}  // namespace

MessageResult<VolumeLockSet> acquire_volume_locks(Platform& platform, const TargetIdentity& identity) {
  bool enumeration_failed = false;
  auto names = enumerate_volumes(platform, identity, enumeration_failed);
  if (!names) return Err(std::move(names).error());
  // A volume that also lies on another disk can be neither dismounted (the
  // other disk's data would go with it) nor written around: the disk driver
  // refuses raw writes into its mounted extent. So it stops the command
  // before any volume is touched.
  std::vector<std::string> on_target;
  for (const std::string& name : *names) {
    switch (placement_of(platform, name, identity.physical_drive_number)) {
      case Placement::kElsewhere: break;
      case Placement::kOnTarget: on_target.push_back(name); break;
      case Placement::kSpanning:
        return Err("Volume " + name + " lies on the target and on another disk, so it cannot be taken out of use; "
                   "no volume was locked and nothing was written.");
    }
  }
  VolumeLockSet kept;  // closes every kept handle if this returns early
  for (const std::string& name : on_target) {
    auto volume = open_target_volume(platform, name, VolumeAccess::kReadWrite);
    if (!volume) return Err("Unable to open mounted volume " + name + ": " + volume.error().text());
    if (auto done = lock_and_dismount(platform, **volume, name, identity); !done) {
      volume->reset();  // this volume's handle first, then the kept ones
      kept.release();
      return Err(std::move(done).error());
    }
    kept.keep(std::move(*volume));
  }
  return kept;
}

HelperResult<PreparedTarget> prepare_target(Platform& platform, const nlohmann::json& payload,
                                            const std::string& path, std::string_view step) {
  const auto number = parse_drive_number(path);
  if (!number) {
    return fail(ErrorCode::kDeviceNotRemovable, "Unable to parse physical target identity from " + path + "; " +
                                                    std::string(step) + " was not started.");
  }
  auto identity = validate_expected_identity(platform, payload, *number, step);
  if (!identity) return Err(std::move(identity).error());
  auto locks = acquire_volume_locks(platform, *identity);
  if (!locks) return fail(ErrorCode::kUnmountFailed, std::move(locks).error());
  return PreparedTarget{*identity, std::move(locks).value()};
}

MessageResult<std::vector<std::string>> dismount_target_volumes(Platform& platform,
                                                                const TargetIdentity& identity) {
  bool enumeration_failed = false;
  auto names = enumerate_volumes(platform, identity, enumeration_failed);
  // A volume list that could not be read is a warning: detach goes on.
  if (!names && enumeration_failed) return std::vector<std::string>{std::move(names).error()};
  if (!names) return Err(std::move(names).error());
  std::vector<std::string> warnings;
  for (const std::string& name : *names) {
    if (!listed_on_target(platform, name, identity.physical_drive_number)) continue;
    auto volume = open_target_volume(platform, name, VolumeAccess::kReadWrite);
    if (!volume) {
      warnings.push_back("Could not open mounted volume " + name + " for dismount.");
      continue;
    }
    auto outcome = dismount_for_detach(platform, **volume, name, identity);
    if (!outcome) return Err(std::move(outcome).error());
    if (*outcome) warnings.push_back(std::move(**outcome));
  }  // each volume's handle is closed before the next, dropping any lock
  return warnings;
}

bool is_volume_guid_path(std::string_view path) {
  const auto is_hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
  bool shaped = path.size() == 49 && path.starts_with("\\\\?\\Volume{") && path.ends_with("}\\");
  for (std::size_t i = 0; shaped && i < 36; ++i) {
    const char c = path[11 + i];
    shaped = (i == 8 || i == 13 || i == 18 || i == 23) ? c == '-' : is_hex(c);
  }
  return shaped;
}

HelperStatus prove_boot_volume(Platform& platform, const TargetIdentity& identity, const std::string& path) {
  if (!is_volume_guid_path(path)) {
    return fail(ErrorCode::kDeviceNotRemovable,
                "Boot partition 1 has no valid volume GUID path; customization was not started.");
  }
  const auto refuse = [](const std::string& message) {
    return fail(ErrorCode::kDeviceNotRemovable, "Could not validate the boot volume GUID path: " + message);
  };
  if (auto same = revalidate_for_volume_operation(platform, identity); !same) return refuse(same.error());
  auto volume = open_target_volume(platform, path, VolumeAccess::kRead);
  if (!volume) return refuse("Unable to open selected boot volume by its GUID path: " + volume.error().text());
  if (!volume_on_target(**volume, identity.physical_drive_number)) {
    return refuse("Validated boot volume no longer belongs solely to the selected target.");
  }
  // Partition 1 comes from the image. FAT and exFAT have no junctions or
  // symbolic links; on NTFS or ReFS a link inside the image could send the
  // helper's writes to the host's own files.
  auto information = (*volume)->volume_information();
  if (!information) {
    return refuse("Unable to read the file system of the selected boot volume: " + information.error().text());
  }
  const std::string& name = information->file_system;
  if (name != "FAT" && name != "FAT32" && name != "exFAT") {
    return refuse("The selected boot volume has the file system " + (name.empty() ? std::string("(none)") : name) +
                  "; only FAT, FAT32 and exFAT boot volumes are written to.");
  }
  return {};
}

}  // namespace wh
