#include "storage_model.h"

#include <algorithm>

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

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// -match and -notmatch ignore case.
bool tolerated_by_prepare(const std::string& message) {
  const std::string text = lower(message);
  for (const char* allowed : {"not supported", "access is denied", "access denied"}) {
    if (text.find(allowed) != std::string::npos) return true;
  }
  return false;
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

ordered_json get_disk(const SimDrive& drive) {
  std::string name = trimmed(drive.vendor.value_or("") + " " + drive.product.value_or(""));
  ordered_json disk = {
      {"Number", drive.number},
      {"FriendlyName", name},
      {"SerialNumber", drive.serial ? ordered_json(*drive.serial) : ordered_json(nullptr)},
      // A reader without a card has no size.
      {"Size", drive.no_medium ? 0 : sim::drive_length(drive)},
      {"IsReadOnly", sim::drive_read_only(drive)},
      {"IsOffline", drive.offline},
      {"IsSystem", drive.is_system},
      {"IsBoot", drive.is_boot},
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
    const ordered_json all = get_disk(*d);
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
  const ordered_json disk = get_disk(*drive);
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

void StorageModel::dismount(SimVolume& volume, std::uint32_t disk) {
  // A forced dismount invalidates other programs' handles.
  const bool releases = volume.held_by && volume.held_by->until_force_dismount;
  if (!volume.mounted && !releases) return;
  save_volume_files(volume);
  volume.mounted = false;
  if (releases) volume.held_by.reset();
  effect("dismount", disk, {{"volume", volume.name}});
}

void StorageModel::prepare(SimDrive& drive, Outcome& outcome) {
  // Set-Disk -IsReadOnly $false -ErrorAction Stop, in a try whose catch lets
  // only refusals of the change pass.
  std::optional<std::string> refused = failure("Set-Disk", "IsReadOnly");
  if (!refused && drive.write_protect_switch) refused = "Not Supported";
  if (refused && !tolerated_by_prepare(*refused)) {
    outcome = stopped("Set-Disk", *refused);
    return;
  }
  if (!refused && drive.read_only) {
    drive.read_only = false;
    effect("readOnlyCleared", drive.number);
  }
  release_partitions(drive);
}

void StorageModel::detach(SimDrive& drive) {
  if (!failure("Get-Partition") && !failure("Eject")) {
    // The shell's Eject takes the letters away and dismounts.
    for (SimVolume& volume : machine_.volumes) {
      if (!sim::volume_on_disk(volume, drive.number) || volume.letters.empty()) continue;
      for (const std::string& letter : volume.letters) effect("eject", drive.number, {{"letter", letter}});
      volume.letters.clear();
      dismount(volume, drive.number);
    }
  }
  release_partitions(drive);
}

void StorageModel::release_partitions(SimDrive& drive) {
  if (!failure("Get-Partition")) {
    for (SimVolume& volume : machine_.volumes) {
      if (!sim::volume_on_disk(volume, drive.number)) continue;
      // A partition has one DriveLetter; mountvol /P also dismounts.
      if (!volume.letters.empty()) {
        const bool mountvol = !failure("mountvol.exe");
        if (!failure("Remove-PartitionAccessPath") || mountvol) {
          effect("letterRemoved", drive.number, {{"letter", volume.letters.front()}, {"volume", volume.name}});
          volume.letters.erase(volume.letters.begin());
        }
        if (mountvol) dismount(volume, drive.number);
      }
      if (!failure("Get-Volume") && !failure("Dismount-Volume")) dismount(volume, drive.number);
    }
  }
  if (drive.removable_media && !drive.offline) {
    // Windows refuses it ("Set-Disk : Not Supported"); the scripts swallow
    // the error, and the card stays online with its volumes dismounted.
    effect("offlineRefused", drive.number, {{"message", "Removable media cannot be set to offline."}});
  } else if (!failure("Set-Disk", "IsOffline") && !drive.offline) {
    // The volumes leave with the disk; what their files hold is written first.
    for (SimVolume& volume : machine_.volumes) {
      if (sim::volume_on_disk(volume, drive.number)) save_volume_files(volume);
    }
    drive.offline = true;
    effect("offline", drive.number);
  }
}

void StorageModel::bring_online_writable(SimDrive& drive) {
  bool came_online = false;
  if (!failure("Set-Disk", "IsOffline") && drive.offline) {
    drive.offline = false;
    came_online = true;
    effect("online", drive.number);
  }
  // The card's switch is beyond Set-Disk.
  if (!failure("Set-Disk", "IsReadOnly") && !drive.write_protect_switch && drive.read_only) {
    drive.read_only = false;
    effect("readOnlyCleared", drive.number);
  }
  // Windows mounts the volumes of a disk that comes online; a FAT32 card's
  // bytes change with it.
  if (came_online) {
    sim::apply_mount_side_effects(drive, machine_.directory, "online");
    mount_disk_volumes(drive);
  }
}

void StorageModel::reformat(SimDrive& drive, const std::string& label, Outcome& outcome) {
  bring_online_writable(drive);
  if (auto message = failure("Clear-Disk")) {
    outcome = stopped("Clear-Disk", *message);
    return;
  }
  if (sim::drive_read_only(drive)) {
    outcome = stopped("Clear-Disk", "The media is write protected.");
    return;
  }
  if (auto error = clear_disk(drive)) {
    outcome = stopped("Clear-Disk", *error);
    return;
  }
  std::erase_if(machine_.volumes, [&](const SimVolume& v) { return sim::volume_on_disk(v, drive.number); });
  drive.partition_style = "RAW";
  effect("clear", drive.number);
  if (auto message = failure("Initialize-Disk")) {
    outcome = stopped("Initialize-Disk", *message);
    return;
  }
  drive.partition_style = "MBR";
  effect("initialize", drive.number, {{"partitionStyle", "MBR"}});
  if (auto message = failure("New-Partition")) {
    outcome = stopped("New-Partition", *message);
    return;
  }
  auto partition = write_single_partition_mbr(drive);
  if (!partition) {
    outcome = stopped("New-Partition", partition.error());
    return;
  }
  SimVolume volume;
  volume.name = new_volume_name();
  volume.extents.push_back({drive.number, partition->offset, partition->length});
  volume.mounted = false;  // RAW until formatted
  if (auto letter = free_drive_letter(machine_)) volume.letters.push_back(*letter);
  machine_.volumes.push_back(volume);
  effect("partition", drive.number, {{"volume", volume.name}, {"offset", partition->offset},
                                      {"length", partition->length}, {"letters", volume.letters}});
  std::optional<std::string> refused = failure("Format-Volume");
  if (!refused && !exfat_label_fits(label)) refused = "The volume label is not valid for the exFAT file system.";
  if (!refused) refused = format_exfat(drive, *partition, label);
  if (refused) {
    outcome = stopped("Format-Volume", *refused);
    return;
  }
  mount(machine_.volumes.back(), drive.number);
  effect("format", drive.number, {{"volume", volume.name}, {"fileSystem", "exFAT"}, {"label", label}});
}

}  // namespace wh::tools
