#include "platform/sim/sim_volume_handle.h"

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_volume_files.h"
#include "platform/unicode.h"

namespace wh::sim {
namespace {

constexpr std::size_t kMaxExtentsInReply = 42;  // (1024 - 8) / 24
constexpr std::uint32_t kErrorMoreData = 234;

OsError access_denied() { return win32_error(kErrorAccessDenied); }

}  // namespace

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
  return VolumeInformation{(*volume)->file_system, (*volume)->serial_number, (*volume)->label};
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
  const bool forced = use().locked_by != this && v.held_by && v.held_by->until_force_dismount;
  // The file system's cached state goes to the card; a failure is in the
  // event log.
  (void)save_volume_files(platform_.machine, v);
  platform_.change_machine([&](SimMachine& changed) {
    SimVolume* now = find_volume(changed, name_);
    if (now == nullptr) return;
    if (forced) now->held_by.reset();
    now->mounted = false;
  });
  platform_.state.events.push_back("dismount " + name_);
  return {};
}

}  // namespace wh::sim
