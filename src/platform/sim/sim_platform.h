// The simulated Windows: the platform interface over a `SimMachine`. Drives
// are host files, volumes are host directories, PowerShell is an executable in
// the sim directory, and faults are data. Its state is public so that tests
// can arrange a machine and inspect what the helper did to it.
//
// machine.json is the machine's state across processes: what the platform
// changes (a dismount, a released hold, a swapped card) is written back, and
// the file is read again after every process it runs, since PowerShell may
// have changed the disks. Every open, close, read, write, lock, unlock and
// dismount is appended to events.log. A machine without a directory writes
// neither.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_machine.h"
#include "platform/sim/sim_sharing.h"
#include "platform/sim/sim_state.h"

namespace wh::sim {

class SimPlatform : public Platform {
 public:
  explicit SimPlatform(SimMachine machine);

  SimMachine machine;
  SimState state;

  OsResult<HandlePtr> open_drive_for_query(const std::string& path) override;
  OsResult<HandlePtr> open_drive_exclusive_read(const std::string& path) override;
  OsResult<HandlePtr> open_drive_exclusive_write(const std::string& path) override;
  OsResult<HandlePtr> open_volume(const std::string& name, VolumeAccess access) override;
  OsResult<std::vector<std::string>> list_volumes() override;
  // Drive letters only: the simulation mounts no volume in a folder.
  OsResult<std::vector<std::string>> volume_path_names(const std::string& name) override;
  // The volume's `label`, `fileSystem` and `serialNumber`; its space is
  // `capacityBytes` (else its extents' length) less `usedBytes` (else the
  // bytes of the files in its directory).
  OsResult<VolumeInformation> volume_root_information(const std::string& root) override;
  OsResult<VolumeSpace> volume_space(const std::string& root) override;
  OsResult<std::string> windows_directory() override;
  // "X:\" for a path on drive X, a volume GUID path's own root for a path
  // inside that volume; 123 for anything else.
  OsResult<std::string> volume_path_name(const std::string& path) override;
  // The present volume holding the drive letter of "X:\", else 2. A mount
  // point of any other form fails with 123.
  OsResult<std::string> volume_name_for_mount_point(const std::string& mount_point) override;
  // The Windows directory's "System32" (sim_system_disks.cpp).
  OsResult<std::string> system_directory() override;
  // The volume with `systemPartition`; nullopt when none has it.
  OsResult<std::optional<std::string>> system_partition() override;
  // A path in each present volume with `pageFile`: "X:\pagefile.sys" by its
  // first letter, else below its volume GUID path.
  OsResult<std::vector<std::string>> page_files() override;
  bool file_exists(const std::string& path) override;
  OsResult<std::optional<FileStatus>> file_status(const std::string& path) override;
  OsResult<HandlePtr> open_file_read(const std::string& path) override;
  OsResult<HandlePtr> create_file_write(const std::string& path) override;
  OsResult<OpenedForWriting> open_always_write(const std::string& path) override;
  OsStatus replace_file(const std::string& from, const std::string& to) override;
  OsStatus delete_file(const std::string& path) override;
  // sim_links.cpp: the file's share lock taken (sim_file_sharing.h), a FIFO
  // opened without waiting, a symbolic link opened itself.
  OsResult<HandlePtr> open_file_read_locked(const std::string& path) override;
  // sim_user_rights.cpp: `userDeniedPaths` refuses with 5.
  OsResult<HandlePtr> open_file_read_as_user(const std::string& path) override;
  OsResult<OpenedForWriting> open_output_as_user(const std::string& path) override;
  // Descriptor 0, read as a stream.
  OsResult<HandlePtr> standard_input() override;
  OsResult<ProcessOutput> run_process(const std::string& executable,
                                      const std::vector<std::string>& arguments) override;
  // The child gets `environment` and, for the host program behind a Windows
  // one, the host's PATH, SOURCE_DATE_EPOCH and TZ, each named
  // WINDOWS_HELPER_SIM_HOST_<name>.
  OsResult<ProcessOutput> run_process_in_environment(const std::string& executable,
                                                     const std::vector<std::string>& arguments,
                                                     const std::vector<std::string>& environment) override;
  Instant now() override;
  void sleep_ms(std::uint32_t milliseconds) override;

  // The first fault for `operation` on `path` and open `mode` that has not
  // used up its count, or -1. `fire` counts one use.
  int find_fault(std::string_view operation, const std::string& path, std::string_view mode = {}) const;
  OsError fire(int fault_index);
  // The error of a plain fault (one without a byte threshold), fired, if any.
  // `mode` is the open mode: of the open itself, or of the handle used.
  std::optional<OsError> fault(std::string_view operation, const std::string& path, std::string_view mode = {});
  // What the "read" or "write" faults make of a call asking `wanted` bytes
  // through a handle that has moved `moved` bytes that way: the count it may
  // move, or the error that fails it. Every matching fault applies, in file
  // order; maxBytesPerCall caps, afterBytes caps up to its threshold and
  // fails from there, the others fail once their skip is used up.
  OsResult<std::size_t> transfer_allowance(std::string_view operation, const std::string& path,
                                           std::string_view mode, std::size_t wanted, std::uint64_t moved);
  // The "corrupt" faults a drive handle opened now sees, each counted once.
  std::vector<std::size_t> claim_corruptions(const std::string& path, std::string_view mode);
  // Advances the clock for `bytes` moved (msPerMiB).
  void count_transfer(std::uint64_t bytes);
  // Whether the device `path` has disappeared (a used-up "opens" count).
  bool gone(const std::string& path) const;

  // IOCTL_DISK_UPDATE_PROPERTIES reached online disk `disk`: Windows reads
  // the partition table again and mounts the FAT volume it finds, as soon as
  // no handle has the disk open for writing and no volume of the disk is
  // locked (settle_mounts).
  void mount_after_rewrite(std::uint32_t disk);
  void settle_mounts();

  // Whether the disk driver lets a raw write of `length` bytes at `offset`
  // through to drive `disk`: not into the extents of a volume whose file
  // system is mounted and that is neither locked nor dismounted.
  bool raw_write_allowed(std::uint32_t disk, std::uint64_t offset, std::uint64_t length);

  // Appends one line to events.log (no-op without a directory).
  void log_event(nlohmann::json event) const;
  // Writes the machine back to machine.json (no-op without a directory).
  void save() const;
  // Changes the machine as every process sees it: under the machine's lock
  // (sim_machine_lock.h), machine.json is read afresh, becomes this
  // process's machine (its faults kept), `change` is applied and the result
  // written back. References into `machine` taken before do not survive it.
  void change_machine(const std::function<void(SimMachine&)>& change);
  // Takes the machine as machine.json now describes it. Faults stay as they
  // are: they are the test's set-up, read once per process.
  void reload();

  // The host path that a Windows path names: a file inside a volume
  // ("\\?\Volume{...}\dir\file") maps into the volume's directory, never
  // out of it; other paths are host paths as they are. Or the error Windows
  // gives for the path (map_path in sim_volume_paths.h).
  OsResult<std::string> host_path(const std::string& path) const;

 private:
  enum class DriveMode { kQuery, kExclusiveRead, kExclusiveWrite };
  OsResult<HandlePtr> open_drive(const std::string& path, DriveMode mode);
  // Counts the open, or reports the device gone once its opens are used up.
  std::optional<OsError> count_open(const std::string& path);
  // Puts the other card of a due "swap" fault into drive `number`'s reader.
  void swap_card_if_due(const std::string& path, std::uint32_t number);
  // The volume `root` names, its file system reached (sim_volume_info.cpp).
  OsResult<SimVolume*> reach_file_system(const std::string& root, std::string_view operation);
  // open(2) of a host file for an ordinary file open (sim_files.cpp), with
  // Windows' answers: 3 for a missing directory, 5 for a directory, for
  // CREATE_ALWAYS over a hidden or system file, and for write access to a
  // read-only file. `volume` gets the name of the volume the file lies on
  // ("" for a host file). With `as_user`, or without elevation, a file under
  // `userDeniedPaths` is 5 (sim_user_rights.h). An open for writing takes the
  // file's share lock into `share` (sim_file_sharing.h): 32 while a locked
  // reader holds the file, checked before anything is truncated.
  OsResult<int> open_host_file(const std::string& path, int flags, std::string& volume, bool as_user = false,
                               SharingLock* share = nullptr);
  // Both run_process forms; a null `environment` passes this process's on.
  OsResult<ProcessOutput> spawn(const std::string& executable, const std::vector<std::string>& arguments,
                                const std::vector<std::string>* environment);

  // Windows lets different handles transfer on different threads at once.
  // What their transfers share here (fault counts, the clock, gone devices)
  // is taken under this lock; the transfers themselves run outside it.
  mutable std::recursive_mutex bookkeeping_;
};

}  // namespace wh::sim
