#include "platform/sim/sim_json.h"

#include <stdexcept>

namespace wh::sim::detail {
namespace {

using nlohmann::json;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool moves_bytes(const std::string& operation) { return operation == "read" || operation == "write"; }

}  // namespace

std::string host_path(const std::string& directory, const std::string& path) {
  if (path.empty() || path.front() == '/' || directory.empty()) return path;
  return directory + "/" + path;
}

std::string file_path(const std::string& directory, const std::string& host) {
  const std::string prefix = directory + "/";
  if (!directory.empty() && host.starts_with(prefix)) return host.substr(prefix.size());
  return host;
}

Bytes bytes_from_hex(const std::string& hex, const char* member) {
  if (hex.size() % 2 != 0) throw std::invalid_argument(std::string(member) + " has an odd length");
  Bytes out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = hex_digit(hex[i]);
    const int low = hex_digit(hex[i + 1]);
    if (high < 0 || low < 0) throw std::invalid_argument(std::string(member) + " holds a non-hexadecimal character");
    out.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return out;
}

std::string hex_from_bytes(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

SimFault fault_from_json(const json& f, const std::string& directory) {
  SimFault fault;
  fault.operation = f.at("operation").get<std::string>();
  fault.path = optional_member<std::string>(f, "path");
  fault.interrupted = f.value("interrupted", false);
  // An interrupted call reports what a cancelled one does.
  const std::uint32_t usual = fault.operation == "disappear" ? 2u : fault.interrupted ? 995u : 31u;
  fault.error = f.value("error", usual);
  fault.after_bytes = optional_member<std::uint64_t>(f, "afterBytes");
  fault.max_bytes_per_call = optional_member<std::uint64_t>(f, "maxBytesPerCall");
  fault.after_opens = f.value("afterOpens", 0u);
  fault.count = optional_member<std::uint32_t>(f, "count");
  fault.skip = f.value("skip", 0u);
  fault.mode = optional_member<std::string>(f, "mode");
  fault.serial = optional_member<std::string>(f, "serial");
  fault.size_bytes = optional_member<std::uint64_t>(f, "sizeBytes");
  if (auto file = optional_member<std::string>(f, "backingFile")) fault.backing_file = host_path(directory, *file);
  if ((fault.after_bytes || fault.max_bytes_per_call || fault.interrupted) && !moves_bytes(fault.operation)) {
    throw std::invalid_argument("afterBytes, maxBytesPerCall and interrupted are for read and write faults");
  }
  // A fault either shapes calls or fails them.
  if (fault.max_bytes_per_call && (fault.after_bytes || fault.interrupted)) {
    throw std::invalid_argument("maxBytesPerCall cannot be combined with afterBytes or interrupted");
  }
  if (fault.operation == "corrupt") {
    fault.offset = f.at("offset").get<std::uint64_t>();
    fault.bytes = bytes_from_hex(f.at("bytesHex").get<std::string>(), "bytesHex");
    if (fault.bytes.empty()) throw std::invalid_argument("a corrupt fault needs bytesHex");
  }
  return fault;
}

json fault_to_json(const SimFault& fault, const std::string& directory) {
  json f = {{"operation", fault.operation}, {"error", fault.error}};
  if (fault.path) f["path"] = *fault.path;
  if (fault.after_bytes) f["afterBytes"] = *fault.after_bytes;
  if (fault.max_bytes_per_call) f["maxBytesPerCall"] = *fault.max_bytes_per_call;
  if (fault.interrupted) f["interrupted"] = true;
  if (fault.operation == "disappear" || fault.operation == "swap") f["afterOpens"] = fault.after_opens;
  if (fault.count) f["count"] = *fault.count;
  if (fault.skip != 0) f["skip"] = fault.skip;
  if (fault.mode) f["mode"] = *fault.mode;
  if (fault.serial) f["serial"] = *fault.serial;
  if (fault.size_bytes) f["sizeBytes"] = *fault.size_bytes;
  if (fault.backing_file) f["backingFile"] = file_path(directory, *fault.backing_file);
  if (fault.operation == "corrupt") {
    f["offset"] = fault.offset;
    f["bytesHex"] = hex_from_bytes(fault.bytes);
  }
  return f;
}

SimDrive drive_from_json(const nlohmann::json& d, const std::string& directory) {
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
  drive.host_volume = optional_member<std::string>(d, "hostVolume");
  if (drive.host_volume && !d.contains("busType")) drive.bus_type = 15;  // BusTypeFileBackedVirtual
  drive.logical_sector_bytes = d.value("logicalSectorBytes", 512u);
  const std::uint32_t sector = drive.logical_sector_bytes;
  if (sector < 512 || sector > 65536 || (sector & (sector - 1)) != 0) {
    throw std::invalid_argument("logicalSectorBytes must be a power of two from 512 to 65536");
  }
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
  if (drive.host_volume) d["hostVolume"] = *drive.host_volume;
  if (drive.logical_sector_bytes != 512) d["logicalSectorBytes"] = drive.logical_sector_bytes;
  return d;
}

SimVolume volume_from_json(const nlohmann::json& v, const std::string& directory) {
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
  volume.label = v.value("label", std::string());
  volume.capacity_bytes = optional_member<std::uint64_t>(v, "capacityBytes");
  volume.used_bytes = optional_member<std::uint64_t>(v, "usedBytes");
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
  volume.system_partition = v.value("systemPartition", false);
  volume.page_file = v.value("pageFile", false);
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
  if (!volume.label.empty()) v["label"] = volume.label;
  if (volume.capacity_bytes) v["capacityBytes"] = *volume.capacity_bytes;
  if (volume.used_bytes) v["usedBytes"] = *volume.used_bytes;
  if (volume.files_loaded) v["filesLoaded"] = true;
  if (volume.held_by) {
    v["heldBy"] = {{"error", volume.held_by->error},
                   {"until", volume.held_by->until_force_dismount ? "forceDismount" : "never"}};
  }
  if (volume.system_partition) v["systemPartition"] = true;
  if (volume.page_file) v["pageFile"] = true;
  return v;
}

}  // namespace wh::sim::detail
