// The simulated Windows machine, described as data: its physical drives
// (whose bytes live in host files), its volumes (whose files live in host
// directories), whether the process is elevated, and the faults to inject.
// Loaded from `machine.json` in the directory named by WINDOWS_HELPER_SIM_DIR
// (sim_machine_file.h); docs/simulated-windows.md describes the format.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "platform/sim/sim_fault.h"
#include "platform/result.h"

namespace wh::sim {

struct SimDrive {
  std::uint32_t number = 0;
  std::string backing_file;  // host path of the drive's bytes
  // The length the disk driver reports; the backing file's size when absent.
  std::optional<std::uint64_t> size_bytes;
  std::optional<std::string> vendor;
  std::optional<std::string> product;
  std::optional<std::string> serial;
  std::uint32_t bus_type = 7;  // STORAGE_BUS_TYPE; 7 is USB
  bool removable_media = true;
  bool read_only = false;
  // The raw STORAGE_DEVICE_DESCRIPTOR reply, replacing the one built from the
  // fields above.
  std::optional<Bytes> descriptor;
  // What Get-Disk reports.
  bool is_system = false;
  bool is_boot = false;
  // Offline: its volumes are gone from the volume manager; raw access works.
  bool offline = false;
  std::string partition_style = "MBR";  // "MBR", "GPT" or "RAW"
  // A reader without a card: the length query, reads and writes fail with 21.
  bool no_medium = false;
  // Get-Disk members reported instead of those derived from the drive (an
  // object; empty when none).
  nlohmann::json get_disk = nlohmann::json::object();
  // The card's write-protect switch: read-only, and Set-Disk cannot clear it.
  bool write_protect_switch = false;
  // Windows changes a FAT32 file system's bytes when it mounts it
  // (sim_mount.h); false keeps the card's bytes as written.
  bool mount_side_effects = true;
  // A virtual disk (bus type 15 unless said otherwise): the name of the
  // volume that holds its VHD file (sim_system_disks.cpp).
  std::optional<std::string> host_volume;
  // The logical sector size the disk reports (a power of two from 512 to
  // 65536): transfers off its grid fail with 87.
  std::uint32_t logical_sector_bytes = 512;
};

// Writes fail with 19 and the disk attributes carry DISK_ATTRIBUTE_READ_ONLY.
inline bool drive_read_only(const SimDrive& drive) { return drive.read_only || drive.write_protect_switch; }

struct SimExtent {
  std::uint32_t disk = 0;
  std::uint64_t starting_offset = 0;
  std::uint64_t length = 0;
};

struct SimVolume {
  std::string name;  // "\\?\Volume{GUID}\", trailing backslash included
  std::vector<SimExtent> extents;
  std::string directory;  // host directory holding the mounted volume's files
  // A file system is mounted on it (false: RAW, nothing to protect), so raw
  // writes into its extents need it locked or dismounted first.
  bool mounted = true;
  std::vector<std::string> letters;  // drive letters, such as "E"
  // What GetVolumeInformationByHandleW reports, and GetVolumeInformationW
  // with the label.
  std::string file_system = "FAT32";
  std::uint32_t serial_number = 0;
  std::string label;
  // What GetDiskFreeSpaceExW reports: the capacity (the extents' length when
  // absent) and the bytes in use (the files in `directory` when absent).
  std::optional<std::uint64_t> capacity_bytes;
  std::optional<std::uint64_t> used_bytes;
  // The directory holds the FAT file system's files, extracted at the mount
  // (sim_volume_files.h), and is written back at the dismount.
  bool files_loaded = false;
  // Another program holds the volume open: FSCTL_LOCK_VOLUME fails with
  // `error` until a dismount without a lock (or never).
  struct Hold {
    std::uint32_t error = 32;
    bool until_force_dismount = true;  // false: "never"
  };
  std::optional<Hold> held_by;
  // The system partition Windows started from (the EFI system partition or
  // the active partition), and a volume holding a page file.
  bool system_partition = false;
  bool page_file = false;
};

// FILE_ATTRIBUTE_* bits that decide what an open may do.
inline constexpr std::uint32_t kAttributeReadOnly = 0x1;
inline constexpr std::uint32_t kAttributeHidden = 0x2;
inline constexpr std::uint32_t kAttributeSystem = 0x4;

struct SimMachine {
  std::string directory;  // the sim directory; empty for an empty machine
  bool elevated = false;
  std::vector<SimDrive> drives;
  std::vector<SimVolume> volumes;
  std::vector<SimFault> faults;
  // Windows attributes of host files (kAttribute* bits), by host path.
  std::map<std::string, std::uint32_t> file_attributes;
  // Sleeps last this fraction of the time asked; the rest is added to the
  // monotonic clock, so that waits look complete to the code that measures them.
  double sleep_scale = 1.0;
  // Every read and write through a drive or file handle advances the
  // monotonic clock by this many milliseconds per MiB moved.
  double ms_per_mib = 0.0;
  // What GetWindowsDirectoryW answers. The Windows volume is the one its
  // drive letter names; a machine without that letter has none.
  std::string windows_directory = "C:\\Windows";
  // Read by the PowerShell stand-in only; kept as it is.
  nlohmann::json powershell;
  // Host path prefixes that the user who started the helper may neither read
  // nor write (sim_user_rights.h).
  std::vector<std::string> user_denied_paths;
};

SimDrive* find_drive(SimMachine& machine, std::uint32_t number);
const SimDrive* find_drive(const SimMachine& machine, std::uint32_t number);
SimVolume* find_volume(SimMachine& machine, std::string_view name);  // any ASCII case

// The length the disk driver reports: `sizeBytes`, else the backing file's
// size (0 when it cannot be read).
std::uint64_t drive_length(const SimDrive& drive);

bool volume_on_disk(const SimVolume& volume, std::uint32_t disk);
// Volumes of an offline disk are removed from the volume manager: they are
// neither listed nor opened, and guard no sectors.
bool volume_present(const SimMachine& machine, const SimVolume& volume);

// The STORAGE_DEVICE_DESCRIPTOR that Windows would return for `drive`: the
// fixed fields, then the vendor, product and serial texts, NUL-terminated.
Bytes build_storage_descriptor(const SimDrive& drive);

}  // namespace wh::sim
