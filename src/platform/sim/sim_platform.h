// The simulated Windows: the platform interface over a `SimMachine`. Drives
// are host files, volumes are host directories, PowerShell is an executable in
// the sim directory, and faults are data. Its state is public so that tests
// can arrange a machine and inspect what the helper did to it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_machine.h"

namespace wh::sim {

struct DriveUse {
  int handles = 0;         // open handles on the drive
  bool exclusive = false;  // one of them was opened with share mode 0
};

struct SimState {
  std::map<std::string, std::uint32_t> opens;  // successful opens, by lower-cased path
  std::set<std::string> gone;                  // devices that have disappeared
  std::vector<std::uint32_t> fault_hits;       // times each fault fired, by index
  std::map<std::uint32_t, DriveUse> drive_use; // by drive number
  std::vector<std::string> events;             // "lock <volume>", "dismount <volume>", in order
  Instant skipped_sleep{0};
};

class SimPlatform : public Platform {
 public:
  explicit SimPlatform(SimMachine machine);

  SimMachine machine;
  SimState state;

  OsResult<HandlePtr> open_drive_for_query(const std::string& path) override;
  OsResult<HandlePtr> open_drive_exclusive_read(const std::string& path) override;
  OsResult<HandlePtr> open_drive_exclusive_write(const std::string& path) override;
  OsResult<HandlePtr> open_volume(const std::string& name, VolumeAccess access) override;
  std::vector<std::string> list_volumes() override;
  bool file_exists(const std::string& path) override;
  OsResult<std::optional<FileStatus>> file_status(const std::string& path) override;
  OsResult<HandlePtr> open_file_read(const std::string& path) override;
  OsResult<HandlePtr> create_file_write(const std::string& path) override;
  OsResult<OpenedForWriting> open_always_write(const std::string& path) override;
  OsResult<ProcessOutput> run_process(const std::string& executable,
                                      const std::vector<std::string>& arguments) override;
  Instant now() override;
  void sleep_ms(std::uint32_t milliseconds) override;

  // The first fault for `operation` on `path` that has not used up its count,
  // or -1. `fire` counts one use.
  int find_fault(std::string_view operation, const std::string& path) const;
  OsError fire(int fault_index);
  // The error of a plain fault (one without a byte threshold), fired, if any.
  std::optional<OsError> fault(std::string_view operation, const std::string& path);

  // The host path that a Windows path names: a file inside a volume
  // ("\\?\Volume{...}\dir\file") maps into the volume's directory; other
  // paths are host paths as they are.
  std::string host_path(const std::string& path) const;

 private:
  enum class DriveMode { kQuery, kExclusiveRead, kExclusiveWrite };
  OsResult<HandlePtr> open_drive(const std::string& path, DriveMode mode);
  // Counts the open, or reports the device gone once its opens are used up.
  std::optional<OsError> count_open(const std::string& path);
};

}  // namespace wh::sim
