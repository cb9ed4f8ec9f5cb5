#include "platform/sim/sim_partitions.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <random>

#include "platform/sim/sim_events.h"
#include "platform/sim/sim_volume_files.h"

namespace wh::sim {
namespace {

std::uint32_t u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint32_t random_u32() {
  static std::random_device device;
  return device();
}

void log(const SimMachine& machine, nlohmann::json event) {
  event["op"] = "volumeManager";
  append_event(machine.directory, std::move(event));
}

}  // namespace

std::vector<SimPartition> mbr_partitions(const SimDrive& drive) {
  std::array<std::uint8_t, 512> mbr{};
  const int fd = ::open(drive.backing_file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const ssize_t got = ::pread(fd, mbr.data(), mbr.size(), 0);
  ::close(fd);
  if (got != static_cast<ssize_t>(mbr.size()) || mbr[510] != 0x55 || mbr[511] != 0xAA) return {};
  std::vector<SimPartition> partitions;
  for (int slot = 0; slot < 4; ++slot) {
    const std::uint8_t* entry = mbr.data() + 446 + 16 * slot;
    if (entry[4] == 0 || u32(entry + 12) == 0) continue;
    if (entry[4] == 0xEE) return {};
    partitions.push_back({std::uint64_t{u32(entry + 8)} * 512, std::uint64_t{u32(entry + 12)} * 512, entry[4]});
  }
  return partitions;
}

std::string new_volume_name() {
  char text[64];
  const std::uint32_t a = random_u32(), b = random_u32(), c = random_u32(), d = random_u32();
  // Version 4, variant 1.
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%04x%08x", a, b >> 16, (b & 0x0FFF) | 0x4000,
                (c >> 16 & 0x3FFF) | 0x8000, c & 0xFFFF, d);
  return std::string("\\\\?\\Volume{") + text + "}\\";
}

std::optional<std::string> free_drive_letter(const SimMachine& machine) {
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    bool taken = false;
    for (const SimVolume& volume : machine.volumes) {
      for (const std::string& used : volume.letters) taken = taken || (used.size() == 1 && (used[0] & ~0x20) == letter);
    }
    if (!taken) return std::string(1, letter);
  }
  return std::nullopt;
}

void rescan_partitions(SimMachine& machine, std::uint32_t disk) {
  const SimDrive* drive = find_drive(machine, disk);
  if (drive == nullptr || drive->offline || drive->no_medium) return;
  const std::vector<SimPartition> partitions = mbr_partitions(*drive);
  const auto starts_partition = [&](const SimVolume& volume) {
    for (const SimPartition& partition : partitions) {
      if (volume.extents.front().starting_offset == partition.offset) return true;
    }
    return false;
  };
  std::erase_if(machine.volumes, [&](const SimVolume& volume) {
    const bool gone = volume_on_disk(volume, disk) && !volume.extents.empty() && volume.extents.front().disk == disk &&
                      !starts_partition(volume);
    if (gone) log(machine, {{"effect", "removed"}, {"disk", disk}, {"volume", volume.name}});
    return gone;
  });
  for (const SimPartition& partition : partitions) {
    SimVolume* volume = nullptr;
    for (SimVolume& v : machine.volumes) {
      if (!v.extents.empty() && v.extents.front().disk == disk && v.extents.front().starting_offset == partition.offset) {
        volume = &v;
      }
    }
    if (volume == nullptr) {
      SimVolume fresh;
      fresh.name = new_volume_name();
      fresh.extents.push_back({disk, partition.offset, partition.length});
      machine.volumes.push_back(std::move(fresh));
      volume = &machine.volumes.back();
      log(machine, {{"effect", "arrived"}, {"disk", disk}, {"volume", volume->name}, {"offset", partition.offset}});
    }
    // A failed extraction is in the event log; the volume is mounted anyway.
    (void)load_volume_files(machine, *volume);
    volume->mounted = volume->file_system != "RAW";
    if (drive->removable_media && volume->mounted && volume->letters.empty()) {
      if (auto letter = free_drive_letter(machine)) {
        volume->letters.push_back(*letter);
        log(machine, {{"effect", "letterAssigned"}, {"disk", disk}, {"volume", volume->name}, {"letter", *letter}});
      }
    }
  }
}

}  // namespace wh::sim
