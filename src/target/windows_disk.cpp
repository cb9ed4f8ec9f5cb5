#include "target/windows_disk.h"

#include <set>

#include "discovery/device_query.h"
#include "target/volume_locks.h"

namespace wh {
namespace {

// STORAGE_BUS_TYPE of a VHD or VHDX attached as a disk.
constexpr std::uint32_t kBusTypeFileBackedVirtual = 15;

using Disks = Result<std::vector<std::uint32_t>, std::string>;

// The disk extents of the volume `volume_name` (a volume GUID path).
Disks disks_of_volume(Platform& platform, const std::string& volume_name) {
  auto volume = open_target_volume(platform, volume_name, VolumeAccess::kRead);
  if (!volume) return Err("cannot open " + volume_name + ": " + volume.error().text());
  auto disks = (*volume)->volume_disk_extents();
  if (!disks) return Err("the disks of " + volume_name + " are unknown: " + disks.error().text());
  return std::move(disks).value();
}

// The disks under the volume that `path` lies on; empty when its mount point
// has no volume behind it.
Disks disks_of_path(Platform& platform, const std::string& path) {
  if (is_volume_guid_path(path.substr(0, 49))) return disks_of_volume(platform, path.substr(0, 49));
  auto mount_point = platform.volume_path_name(path);
  if (!mount_point) return Err("the volume of " + path + " is unknown: " + mount_point.error().text());
  auto volume_name = platform.volume_name_for_mount_point(*mount_point);
  if (!volume_name) {
    const std::uint32_t code = volume_name.error().code;
    if (code == kErrorFileNotFound || code == kErrorPathNotFound) return std::vector<std::uint32_t>{};
    return Err("no volume name for " + *mount_point + ": " + volume_name.error().text());
  }
  return disks_of_volume(platform, *volume_name);
}

// The disks holding the file of `disk`, if it is a virtual disk.
Disks virtual_disk_hosts(Platform& platform, std::uint32_t disk) {
  auto drive = open_drive_for_query(platform, disk);
  if (!drive) return Err("cannot open disk " + std::to_string(disk) + ": " + drive.error().text());
  const auto description = read_device_description(**drive);
  if (!description) return Err("disk " + std::to_string(disk) + " does not describe itself");
  if (description->bus_type != kBusTypeFileBackedVirtual) return std::vector<std::uint32_t>{};
  auto hosts = (*drive)->virtual_disk_hosts();
  if (!hosts) return Err("the host of virtual disk " + std::to_string(disk) + " is unknown: " + hosts.error().text());
  drive->reset();  // closed before the hosts' volumes are opened
  std::vector<std::uint32_t> disks;
  for (const std::string& host : *hosts) {
    auto found = disks_of_path(platform, host);
    if (!found) return found;
    disks.insert(disks.end(), found->begin(), found->end());
  }
  return disks;
}

}  // namespace

Result<std::vector<std::uint32_t>, std::string> windows_disks(Platform& platform) {
  auto directory = platform.windows_directory();
  if (!directory) return Err("the Windows directory is unknown: " + directory.error().text());
  return disks_of_path(platform, *directory);
}

std::string needed_disk_text(DiskRole role) {
  switch (role) {
    case DiskRole::kWindows: return "The target is the disk Windows runs from";
    case DiskRole::kSystemPartition: return "The target holds the system partition Windows started from";
    case DiskRole::kVirtualDiskHost: return "The target holds the virtual disk Windows runs from";
    case DiskRole::kPageFile: return "The target holds a page file of Windows";
  }
  return "The target is a disk Windows needs";
}

Result<std::vector<NeededDisk>, std::string> needed_disks(Platform& platform) {
  std::vector<NeededDisk> needed;
  const auto add = [&](const std::vector<std::uint32_t>& disks, DiskRole role) {
    for (std::uint32_t disk : disks) needed.push_back({disk, role});
  };
  auto windows = windows_disks(platform);
  if (!windows) return Err("Could not find the disk Windows runs from (" + windows.error() + ")");
  add(*windows, DiskRole::kWindows);
  const auto failed = [](const std::string& reason) { return Err("Could not find the disks Windows needs (" + reason + ")"); };
  auto system = platform.system_partition();
  if (!system) return failed("the system partition is unknown: " + system.error().text());
  if (*system) {
    auto disks = disks_of_volume(platform, **system);
    if (!disks) return failed(disks.error());
    add(*disks, DiskRole::kSystemPartition);
  }
  auto page_files = platform.page_files();
  if (!page_files) return failed("the page files are unknown: " + page_files.error().text());
  for (const std::string& page_file : *page_files) {
    auto disks = disks_of_path(platform, page_file);
    if (!disks) return failed(disks.error());
    add(*disks, DiskRole::kPageFile);
  }
  // Every disk found so far, and every host found on the way, once.
  std::set<std::uint32_t> asked;
  for (std::size_t i = 0; i < needed.size(); ++i) {
    if (!asked.insert(needed[i].number).second) continue;
    auto hosts = virtual_disk_hosts(platform, needed[i].number);
    if (!hosts) return failed(hosts.error());
    add(*hosts, DiskRole::kVirtualDiskHost);
  }
  return needed;
}

}  // namespace wh
