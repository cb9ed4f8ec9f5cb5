#include "storage_model.h"

#include <algorithm>
#include <cctype>

#include "disk_format.h"
#include "platform/sim/sim_events.h"
#include "platform/sim/sim_mount.h"

namespace wh::tools {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;
using sim::SimDrive;
using sim::SimVolume;

// The PowerShell enum name of a STORAGE_BUS_TYPE.
const char* bus_type_name(std::uint32_t bus_type) {
  switch (bus_type) {
    case 1: return "SCSI";
    case 3: return "ATA";
    case 7: return "USB";
    case 11: return "SATA";
    case 12: return "SD";
    case 13: return "MMC";
    case 17: return "NVMe";
    default: return "Unknown";
  }
}

std::string trimmed(std::string text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.back())) text.pop_back();
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  return std::string(first, text.end());
}

// What the fragment compares: ASCII letters and digits, lower-cased.
std::string serial_key(const std::string& text) {
  std::string key;
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') key.push_back(static_cast<char>(c - 'A' + 'a'));
    else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) key.push_back(c);
  }
  return key;
}

// ConvertTo-Json writes one object alone and several as an array; nothing at
// all for no object.
std::string convert_to_json(const ordered_json& objects) {
  if (objects.empty()) return "";
  const ordered_json& value = objects.size() == 1 ? objects[0] : objects;
  return value.dump(-1, ' ', false, ordered_json::error_handler_t::replace) + "\r\n";
}

}  // namespace

Outcome stopped(std::string_view cmdlet, std::string_view message) {
  return {1, "", std::string(cmdlet) + " : " + std::string(message) + "\r\n"};
}

namespace {

// A present volume of `disk` that `holds` says Windows needs.
template <typename Holds>
bool disk_holds(const sim::SimMachine& machine, std::uint32_t disk, Holds holds) {
  return std::any_of(machine.volumes.begin(), machine.volumes.end(), [&](const sim::SimVolume& volume) {
    return sim::volume_present(machine, volume) && sim::volume_on_disk(volume, disk) && holds(volume);
  });
}

bool holds_letter(const sim::SimVolume& volume, const std::string& path) {
  return std::any_of(volume.letters.begin(), volume.letters.end(), [&](const std::string& letter) {
    return !path.empty() && !letter.empty() && std::tolower(letter[0]) == std::tolower(path[0]);
  });
}

}  // namespace

ordered_json get_disk(const sim::SimMachine& machine, const SimDrive& drive) {
  const bool system = disk_holds(machine, drive.number, [](const sim::SimVolume& v) { return v.system_partition; });
  const bool boot = disk_holds(machine, drive.number,
                               [&](const sim::SimVolume& v) { return holds_letter(v, machine.windows_directory); });
  std::string name = trimmed(drive.vendor.value_or("") + " " + drive.product.value_or(""));
  ordered_json disk = {
      {"Number", drive.number},
      {"FriendlyName", name},
      {"SerialNumber", drive.serial ? ordered_json(*drive.serial) : ordered_json(nullptr)},
      // A reader without a card has no size.
      {"Size", drive.no_medium ? 0 : sim::drive_length(drive)},
      {"IsReadOnly", sim::drive_read_only(drive)},
      {"IsOffline", drive.offline},
      {"IsSystem", drive.is_system || system},
      {"IsBoot", drive.is_boot || boot},
      {"BusType", bus_type_name(drive.bus_type)},
      {"PartitionStyle", drive.partition_style},
  };
  for (const auto& [member, value] : drive.get_disk.items()) disk[member] = value;
  return disk;
}

std::optional<std::string> StorageModel::failure(std::string_view cmdlet, std::string_view parameter) const {
  if (!machine_.powershell.is_object()) return std::nullopt;
  const json failures = machine_.powershell.value("cmdletFailures", json::array());
  if (!failures.is_array()) return std::nullopt;
  for (const json& f : failures) {
    if (!f.is_object() || f.value("cmdlet", std::string()) != cmdlet) continue;
    const std::string wanted = f.value("parameter", std::string());
    if (!wanted.empty() && wanted != parameter) continue;
    return f.value("message", std::string("Not Supported"));
  }
  return std::nullopt;
}

void StorageModel::effect(const std::string& name, std::uint32_t disk, json more) const {
  more["op"] = "powershell";
  more["effect"] = name;
  more["disk"] = disk;
  sim::append_event(machine_.directory, std::move(more));
}

Outcome StorageModel::run(const Script& script) {
  // The Storage module's CIM classes answer administrators only.
  if (!machine_.elevated) return stopped("Get-Disk", "Access to a CIM resource was not available to the client.");
  if (script.kind == ScriptKind::kProtectedDisks || script.kind == ScriptKind::kDiskListing) return listing(script);
  SimDrive* drive = nullptr;
  if (auto refused = revalidate(script, drive)) return *refused;
  Outcome outcome;
  switch (script.kind) {
    case ScriptKind::kPrepare: prepare(*drive, outcome); break;
    case ScriptKind::kDetach: detach(*drive); break;
    case ScriptKind::kFinalize: bring_online_writable(*drive); break;
    case ScriptKind::kReformat: reformat(*drive, script.label, outcome); break;
    case ScriptKind::kLocateBootVolume: locate_boot_volume(*drive, outcome); break;
    default: break;
  }
  return outcome;
}

Outcome StorageModel::listing(const Script& script) {
  if (auto message = failure("Get-Disk")) return stopped("Get-Disk", *message);
  static const char* const kProtected[] = {"Number", "IsSystem", "IsBoot"};
  static const char* const kListed[] = {"Number", "FriendlyName", "SerialNumber", "Size",
                                        "IsReadOnly", "BusType", "IsSystem", "IsBoot"};
  std::vector<const SimDrive*> drives;
  for (const SimDrive& d : machine_.drives) drives.push_back(&d);
  std::sort(drives.begin(), drives.end(), [](auto* a, auto* b) { return a->number < b->number; });
  ordered_json objects = ordered_json::array();
  for (const SimDrive* d : drives) {
    const ordered_json all = get_disk(machine_, *d);
    ordered_json selected = ordered_json::object();
    const auto pick = [&](const char* member) { selected[member] = all.contains(member) ? all[member] : nullptr; };
    if (script.kind == ScriptKind::kProtectedDisks) std::for_each(std::begin(kProtected), std::end(kProtected), pick);
    else std::for_each(std::begin(kListed), std::end(kListed), pick);
    objects.push_back(selected);
  }
  return {0, convert_to_json(objects), ""};
}

std::optional<Outcome> StorageModel::revalidate(const Script& script, SimDrive*& drive) {
  if (auto message = failure("Get-Disk")) return stopped("Get-Disk", *message);
  drive = sim::find_drive(machine_, script.disk);
  if (drive == nullptr) {
    const std::string number = std::to_string(script.disk);
    return stopped("Get-Disk", "No MSFT_Disk objects found with property 'Number' equal to '" + number +
                                   "'.  Verify the value of the property and retry.");
  }
  const ordered_json disk = get_disk(machine_, *drive);
  const ordered_json& size = disk["Size"];
  // [uint64]$null is 0; anything else that is not a count cannot equal one.
  const bool same_size = size.is_null() ? script.size == 0
                                        : size.is_number_unsigned() && size.get<std::uint64_t>() == script.size;
  if (!same_size) return Outcome{1, "", "Target capacity changed before " + script.step + "\r\n"};
  // if ($expectedSerial): $null and '' skip the test.
  if (script.serial && !script.serial->empty()) {
    const ordered_json& actual = disk["SerialNumber"];
    const std::string text = actual.is_string() ? actual.get<std::string>() : "";
    if (serial_key(text) != serial_key(*script.serial)) {
      return Outcome{1, "", "Target serial changed before " + script.step + "\r\n"};
    }
  }
  return std::nullopt;
}

}  // namespace wh::tools
