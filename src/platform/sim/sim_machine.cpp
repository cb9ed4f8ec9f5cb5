#include "platform/sim/sim_machine.h"

#include <sys/stat.h>

#include <algorithm>

namespace wh::sim {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

void put_u32(Bytes& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

SimDrive* find_drive(SimMachine& machine, std::uint32_t number) {
  for (SimDrive& d : machine.drives) {
    if (d.number == number) return &d;
  }
  return nullptr;
}

const SimDrive* find_drive(const SimMachine& machine, std::uint32_t number) {
  return find_drive(const_cast<SimMachine&>(machine), number);
}

SimVolume* find_volume(SimMachine& machine, std::string_view name) {
  const std::string wanted = lower(name);
  for (SimVolume& v : machine.volumes) {
    if (lower(v.name) == wanted) return &v;
  }
  return nullptr;
}

std::uint64_t drive_length(const SimDrive& drive) {
  if (drive.size_bytes) return *drive.size_bytes;
  struct stat st {};
  return ::stat(drive.backing_file.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

bool volume_on_disk(const SimVolume& volume, std::uint32_t disk) {
  return std::any_of(volume.extents.begin(), volume.extents.end(),
                     [&](const SimExtent& e) { return e.disk == disk; });
}

bool volume_present(const SimMachine& machine, const SimVolume& volume) {
  return std::none_of(volume.extents.begin(), volume.extents.end(), [&](const SimExtent& e) {
    const SimDrive* drive = find_drive(machine, e.disk);
    return drive != nullptr && drive->offline;
  });
}

Bytes build_storage_descriptor(const SimDrive& drive) {
  constexpr std::size_t kFixedPart = 40;  // 36-byte header, then one raw-property byte, aligned
  Bytes out(kFixedPart, 0);
  put_u32(out, 0, kFixedPart);  // Version: the structure size, as drivers report it
  out[10] = drive.removable_media ? 1 : 0;
  put_u32(out, 28, drive.bus_type);
  const auto add_text = [&](std::size_t field, const std::optional<std::string>& text) {
    if (!text) return;
    put_u32(out, field, static_cast<std::uint32_t>(out.size()));
    out.insert(out.end(), text->begin(), text->end());
    out.push_back(0);
  };
  add_text(12, drive.vendor);
  add_text(16, drive.product);
  add_text(24, drive.serial);
  // Size tells the whole descriptor; the caller's 1024-byte buffer gets the start.
  put_u32(out, 4, static_cast<std::uint32_t>(out.size()));
  if (out.size() > 1024) out.resize(1024);
  return out;
}

}  // namespace wh::sim
