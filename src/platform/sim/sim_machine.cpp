#include "platform/sim/sim_machine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/sim/sim_json.h"

namespace wh::sim {
namespace {

using nlohmann::json;

using detail::bytes_from_hex;
using detail::file_path;
using detail::hex_from_bytes;
using detail::host_path;
using detail::optional_member;

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

SimDrive drive_from_json(const json& d, const std::string& directory) {
  SimDrive drive;
  drive.number = d.at("number").get<std::uint32_t>();
  drive.backing_file = host_path(directory, d.at("backingFile").get<std::string>());
  drive.size_bytes = optional_member<std::uint64_t>(d, "sizeBytes");
  drive.vendor = optional_member<std::string>(d, "vendor");
  drive.product = optional_member<std::string>(d, "product");
  drive.serial = optional_member<std::string>(d, "serial");
  drive.bus_type = d.value("busType", 7u);
  drive.removable_media = d.value("removableMedia", true);
  drive.read_only = d.value("readOnly", false);
  if (auto hex = optional_member<std::string>(d, "descriptorHex")) drive.descriptor = bytes_from_hex(*hex, "descriptorHex");
  drive.is_system = d.value("isSystem", false);
  drive.is_boot = d.value("isBoot", false);
  drive.offline = d.value("offline", false);
  drive.partition_style = d.value("partitionStyle", std::string("MBR"));
  if (drive.partition_style != "MBR" && drive.partition_style != "GPT" && drive.partition_style != "RAW") {
    throw std::invalid_argument("partitionStyle must be MBR, GPT or RAW");
  }
  drive.no_medium = d.value("noMedium", false);
  drive.get_disk = d.value("getDisk", json::object());
  if (!drive.get_disk.is_object()) throw std::invalid_argument("getDisk must be an object");
  drive.write_protect_switch = d.value("writeProtectSwitch", false);
  drive.mount_side_effects = d.value("mountSideEffects", true);
  return drive;
}

json drive_to_json(const SimDrive& drive, const std::string& directory) {
  json d = {{"number", drive.number}, {"backingFile", file_path(directory, drive.backing_file)}};
  if (drive.size_bytes) d["sizeBytes"] = *drive.size_bytes;
  if (drive.vendor) d["vendor"] = *drive.vendor;
  if (drive.product) d["product"] = *drive.product;
  if (drive.serial) d["serial"] = *drive.serial;
  d["busType"] = drive.bus_type;
  d["removableMedia"] = drive.removable_media;
  d["readOnly"] = drive.read_only;
  if (drive.descriptor) d["descriptorHex"] = hex_from_bytes(*drive.descriptor);
  d["isSystem"] = drive.is_system;
  d["isBoot"] = drive.is_boot;
  d["offline"] = drive.offline;
  d["partitionStyle"] = drive.partition_style;
  d["noMedium"] = drive.no_medium;
  if (!drive.get_disk.empty()) d["getDisk"] = drive.get_disk;
  d["writeProtectSwitch"] = drive.write_protect_switch;
  if (!drive.mount_side_effects) d["mountSideEffects"] = false;
  return d;
}

SimVolume volume_from_json(const json& v, const std::string& directory) {
  SimVolume volume;
  volume.name = v.at("name").get<std::string>();
  for (const json& e : v.value("extents", json::array())) {
    volume.extents.push_back({e.at("disk").get<std::uint32_t>(), e.value("startingOffset", 0ull),
                              e.value("length", 0ull)});
  }
  if (auto dir = optional_member<std::string>(v, "directory")) volume.directory = host_path(directory, *dir);
  volume.mounted = v.value("mounted", true);
  volume.file_system = v.value("fileSystem", std::string("FAT32"));
  volume.serial_number = v.value("serialNumber", 0u);
  volume.files_loaded = v.value("filesLoaded", false);
  for (const json& letter : v.value("letters", json::array())) volume.letters.push_back(letter.get<std::string>());
  if (auto held = v.find("heldBy"); held != v.end() && !held->is_null()) {
    SimVolume::Hold hold;
    hold.error = held->value("error", 32u);
    const std::string until = held->value("until", std::string("forceDismount"));
    if (until != "forceDismount" && until != "never") throw std::invalid_argument("heldBy.until must be forceDismount or never");
    hold.until_force_dismount = until == "forceDismount";
    volume.held_by = hold;
  }
  return volume;
}

json volume_to_json(const SimVolume& volume, const std::string& directory) {
  json v = {{"name", volume.name}, {"extents", json::array()}};
  for (const SimExtent& e : volume.extents) {
    v["extents"].push_back({{"disk", e.disk}, {"startingOffset", e.starting_offset}, {"length", e.length}});
  }
  if (!volume.directory.empty()) v["directory"] = file_path(directory, volume.directory);
  v["mounted"] = volume.mounted;
  v["letters"] = volume.letters;
  v["fileSystem"] = volume.file_system;
  v["serialNumber"] = volume.serial_number;
  if (volume.files_loaded) v["filesLoaded"] = true;
  if (volume.held_by) {
    v["heldBy"] = {{"error", volume.held_by->error},
                   {"until", volume.held_by->until_force_dismount ? "forceDismount" : "never"}};
  }
  return v;
}

std::uint32_t attribute_bits(const json& names) {
  std::uint32_t bits = 0;
  for (const json& name : names) {
    const std::string text = name.get<std::string>();
    if (text == "readOnly") bits |= kAttributeReadOnly;
    else if (text == "hidden") bits |= kAttributeHidden;
    else if (text == "system") bits |= kAttributeSystem;
    else throw std::invalid_argument("unknown file attribute " + text);
  }
  return bits;
}

void put_u32(Bytes& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

Result<SimMachine, std::string> machine_from_json(const json& document, const std::string& directory) {
  try {
    SimMachine machine;
    machine.directory = directory;
    machine.elevated = document.value("elevated", false);
    machine.sleep_scale = std::clamp(document.value("sleepScale", 1.0), 0.0, 1.0);
    machine.ms_per_mib = document.value("msPerMiB", 0.0);
    if (!(machine.ms_per_mib >= 0.0)) throw std::invalid_argument("msPerMiB must not be negative");
    for (const json& d : document.value("drives", json::array())) machine.drives.push_back(drive_from_json(d, directory));
    for (const json& v : document.value("volumes", json::array())) machine.volumes.push_back(volume_from_json(v, directory));
    for (const json& f : document.value("faults", json::array())) machine.faults.push_back(detail::fault_from_json(f, directory));
    const json attributes = document.value("fileAttributes", json::object());
    for (const auto& [path, names] : attributes.items()) {
      machine.file_attributes[host_path(directory, path)] = attribute_bits(names);
    }
    machine.windows_directory = document.value("windowsDirectory", machine.windows_directory);
    machine.powershell = document.value("powershell", json());
    return machine;
  } catch (const std::exception& e) {
    return Err(std::string("machine.json: ") + e.what());
  }
}

Result<SimMachine, std::string> load_machine(const std::string& directory) {
  const std::string path = directory + "/machine.json";
  std::ifstream file(path, std::ios::binary);
  if (!file) return Err("cannot read " + path);
  std::stringstream text;
  text << file.rdbuf();
  json document = json::parse(text.str(), /*cb=*/nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return Err(path + " is not valid JSON");
  return machine_from_json(document, directory);
}

json machine_to_json(const SimMachine& machine) {
  const std::string& dir = machine.directory;
  json document = {{"elevated", machine.elevated}, {"sleepScale", machine.sleep_scale},
                   {"drives", json::array()}, {"volumes", json::array()}, {"faults", json::array()}};
  if (machine.ms_per_mib != 0.0) document["msPerMiB"] = machine.ms_per_mib;
  if (machine.windows_directory != SimMachine{}.windows_directory) {
    document["windowsDirectory"] = machine.windows_directory;
  }
  for (const SimDrive& d : machine.drives) document["drives"].push_back(drive_to_json(d, dir));
  for (const SimVolume& v : machine.volumes) document["volumes"].push_back(volume_to_json(v, dir));
  for (const SimFault& f : machine.faults) {
    if (!f.used) document["faults"].push_back(detail::fault_to_json(f, dir));
  }
  if (!machine.file_attributes.empty()) {
    json attributes = json::object();
    for (const auto& [path, bits] : machine.file_attributes) {
      json names = json::array();
      if (bits & kAttributeReadOnly) names.push_back("readOnly");
      if (bits & kAttributeHidden) names.push_back("hidden");
      if (bits & kAttributeSystem) names.push_back("system");
      attributes[file_path(dir, path)] = names;
    }
    document["fileAttributes"] = attributes;
  }
  if (!machine.powershell.is_null()) document["powershell"] = machine.powershell;
  return document;
}

Result<void, std::string> save_machine(const SimMachine& machine) {
  if (machine.directory.empty()) return {};
  const std::string path = machine.directory + "/machine.json";
  // One temporary name per process, so that a reader never sees half a file.
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << machine_to_json(machine).dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    if (!out.flush()) return Err("cannot write " + temporary);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return Err("cannot replace " + path);
  }
  return {};
}

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
