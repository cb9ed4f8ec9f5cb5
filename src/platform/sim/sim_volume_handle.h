// A volume device of the simulated Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_handle.h"
#include "platform/sim/sim_machine.h"

namespace wh::sim {

// A volume device: extents, lock and dismount. A lock lasts until the
// handle that took it is closed; a dismount is written to machine.json
// ("mounted": false). A volume gone from the machine fails with 1167.
class SimVolumeHandle : public SimHandle {
 public:
  SimVolumeHandle(SimPlatform& platform, std::string path, std::string volume_name, bool writable)
      : SimHandle(platform, std::move(path), writable ? "volumeReadWrite" : "volumeRead"),
        name_(std::move(volume_name)), writable_(writable) {}
  ~SimVolumeHandle() override;

  OsStatus flush() override;
  OsResult<std::vector<std::uint32_t>> volume_disk_extents() override;
  OsStatus lock_volume() override;
  OsStatus dismount_volume() override;
  OsResult<VolumeInformation> volume_information() override;

 private:
  OsStatus try_lock();
  OsStatus try_dismount();
  VolumeUse& use();
  // The volume as the machine has it now, or 1167.
  OsResult<SimVolume*> volume();

  std::string name_;  // as listed, trailing backslash included
  bool writable_;
};

}  // namespace wh::sim
