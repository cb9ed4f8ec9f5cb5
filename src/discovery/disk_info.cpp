#include "discovery/disk_info.h"

#include <array>
#include <limits>

#include "discovery/lower_case.h"
#include "frame/payload_fields.h"
#include "platform/unicode.h"

namespace wh {
namespace {

using nlohmann::json;

constexpr std::uint32_t kBusUsb = 7;
constexpr std::uint32_t kBusSd = 12;
constexpr std::uint32_t kBusMmc = 13;
constexpr std::uint64_t kMaxDriveNumber = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kMaxSize = std::numeric_limits<std::uint64_t>::max();

// Tried in this order; the first hit decides, though any hit gives the same kind.
constexpr std::array<std::string_view, 10> kMemoryCardKeywords = {
    "microsd", "micro sd", "sdhc", "sdxc", "sd card", "card reader", "cardreader", "memory card", "mmc", "tf card",
};

std::string drive_name(std::uint32_t number) { return "PhysicalDrive" + std::to_string(number); }

bool names_memory_card(const DeviceDescription& description) {
  const std::string text = unicode_lower(description.vendor.value_or("") + " " + description.product.value_or(""));
  for (std::string_view keyword : kMemoryCardKeywords) {
    if (text.find(keyword) != std::string::npos) return true;
  }
  return false;
}

// Get-Disk's BusType is a name; only these three buses carry removable media.
bool removable_bus_name(const std::string& bus) {
  const std::string folded = ascii_lower(bus);
  return folded == "usb" || folded == "sd" || folded == "mmc";
}

}  // namespace

json disk_info_json(const DiskInfo& disk, bool with_availability) {
  json out = {
      {"bsdDisk", drive_name(disk.number)},
      {"id", drive_name(disk.number)},
      {"internal", false},
      {"isBoot", false},
      {"isSystem", false},
      {"model", disk.model},
      {"mountPoints", json::array()},
      {"osDevicePath", physical_drive_path(disk.number)},
      {"rawDisk", physical_drive_path(disk.number)},
      {"removable", true},
      {"serial", disk.serial ? json(*disk.serial) : json(nullptr)},
      {"sizeBytes", disk.size_bytes},
      {"usbPath", "Bus:" + disk.bus},
      {"vendor", disk.vendor},
      {"writable", true},
  };
  if (disk.target_type) out["targetType"] = *disk.target_type;
  if (disk.unavailable_reason == "write-protected") out["writable"] = false;
  if (disk.unavailable_reason == "busy") out["removable"] = out["writable"] = false;
  if (with_availability) {
    out["available"] = !disk.unavailable_reason;
    if (disk.unavailable_reason) out["unavailableReason"] = *disk.unavailable_reason;
  }
  return out;
}

DiskInfo busy_disk_info(std::uint32_t number) {
  DiskInfo disk;
  disk.number = number;
  disk.model = disk.bus = disk.vendor = "Unknown";
  disk.unavailable_reason = "busy";
  return disk;
}

std::string_view bus_label(std::uint32_t bus_type) {
  switch (bus_type) {
    case 1: return "SCSI";
    case 3: return "ATA";
    case kBusUsb: return "USB";
    case 11: return "SATA";
    case kBusSd: return "SD";
    case kBusMmc: return "MMC";
    case 17: return "NVMe";
    default: return "Unknown";
  }
}

std::string_view disk_kind(const DeviceDescription& description) {
  if (description.bus_type == kBusSd || description.bus_type == kBusMmc) return "memory-card";
  if (names_memory_card(description)) return "memory-card";
  if (description.bus_type == kBusUsb) return "usb-drive";
  return "removable-drive";
}

std::string disk_model(const std::optional<std::string>& vendor, const std::optional<std::string>& product) {
  if (vendor && product) return product->find(*vendor) != std::string::npos ? *product : *vendor + " " + *product;
  if (vendor) return *vendor;
  if (product) return *product;
  return "Removable storage";
}

DiskInfo native_disk_info(std::uint32_t number, std::uint64_t length, const DeviceDescription& description) {
  const std::string bus(bus_label(description.bus_type));
  DiskInfo disk;
  disk.number = number;
  disk.model = disk_model(description.vendor, description.product);
  disk.serial = description.serial;
  disk.size_bytes = length;
  disk.target_type = std::string(disk_kind(description));
  disk.bus = bus;
  disk.vendor = description.vendor.value_or(bus);
  return disk;
}

std::vector<json> disk_objects(const json& value) {
  if (value.is_array()) return std::vector<json>(value.begin(), value.end());
  if (value.is_object()) return {value};
  return {};
}

std::optional<std::uint64_t> exact_count(const json& value, std::uint64_t maximum) {
  // The parser keeps integers written without fraction or exponent as
  // integers; everything else, huge integers included, is a float.
  std::uint64_t count = 0;
  if (value.is_number_unsigned()) {
    count = value.get<std::uint64_t>();
  } else if (value.is_number_integer()) {
    const auto signed_count = value.get<std::int64_t>();
    if (signed_count < 0) return std::nullopt;
    count = static_cast<std::uint64_t>(signed_count);
  } else {
    return std::nullopt;
  }
  if (count > maximum) return std::nullopt;
  return count;
}

std::set<std::uint32_t> protected_drive_numbers(const json& value) {
  std::set<std::uint32_t> numbers;
  for (const json& disk : disk_objects(value)) {
    const json* number = payload_member(disk, "Number");
    const auto drive = number ? exact_count(*number, kMaxDriveNumber) : std::nullopt;
    if (!drive) continue;
    if (optional_flag(disk, "IsSystem") || optional_flag(disk, "IsBoot")) {
      numbers.insert(static_cast<std::uint32_t>(*drive));
    }
  }
  return numbers;
}

std::optional<DiskInfo> listed_disk(const json& object) {
  const json* number = payload_member(object, "Number");
  const auto drive = number ? exact_count(*number, kMaxDriveNumber) : std::nullopt;
  const json* size_member = payload_member(object, "Size");
  const auto size = size_member ? exact_count(*size_member, kMaxSize) : std::nullopt;
  if (!drive || !size || *size == 0) return std::nullopt;
  const std::string bus = text_or(object, "BusType", "Unknown");
  if (optional_flag(object, "IsSystem") || optional_flag(object, "IsBoot") ||
      optional_flag(object, "IsReadOnly") || !removable_bus_name(bus)) {
    return std::nullopt;
  }
  DiskInfo disk;
  disk.number = static_cast<std::uint32_t>(*drive);
  disk.model = text_or(object, "FriendlyName", "Unknown");
  const json* serial = payload_member(object, "SerialNumber");
  if (serial && serial->is_string()) disk.serial = serial->get<std::string>();
  disk.size_bytes = *size;
  disk.bus = bus;
  disk.vendor = bus;
  return disk;
}

}  // namespace wh
