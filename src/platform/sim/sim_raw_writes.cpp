// What the disk stack does around raw writes to a drive: Windows Vista's
// protection of mounted volumes.
#include "platform/sim/sim_platform.h"
#include "platform/unicode.h"

namespace wh::sim {

bool SimPlatform::raw_write_allowed(std::uint32_t disk, std::uint64_t offset, std::uint64_t length) {
  for (const SimVolume& volume : machine.volumes) {
    const VolumeUse& use = state.volume_use[ascii_lower(volume.name)];
    if (!volume.mounted || !volume_present(machine, volume) || use.locked_by != nullptr) continue;
    for (const SimExtent& extent : volume.extents) {
      if (extent.disk != disk || extent.length == 0) continue;
      // Half-open ranges meet when the later one starts inside the earlier
      // one; differences, not sums, so nothing wraps.
      const bool overlap = offset < extent.starting_offset ? extent.starting_offset - offset < length
                                                           : offset - extent.starting_offset < extent.length;
      if (overlap) return false;
    }
  }
  return true;
}

}  // namespace wh::sim
