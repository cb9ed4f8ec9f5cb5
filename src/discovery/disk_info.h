// One disk as list_disks reports it, and the pure rules that build it: from a
// storage descriptor (the native probe) or from one object of Get-Disk's JSON
// (the PowerShell listing).
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "discovery/device_query.h"

namespace wh {

struct DiskInfo {
  std::uint32_t number = 0;
  std::string model;
  std::optional<std::string> serial;  // null in JSON when absent
  std::uint64_t size_bytes = 0;
  std::optional<std::string> target_type;  // left out of the JSON when absent
  std::string bus;                         // usbPath is "Bus:" followed by this
  std::string vendor;
  // Why the disk cannot be written now, for a listing that includes such
  // disks: "busy" (another program holds it alone: nothing else is known of
  // it), "write-protected", "no-medium" (an empty reader).
  std::optional<std::string> unavailable_reason;
};

// The DiskInfo object. Only listable disks are ever built, so the flags are
// constants: not internal, boot or system, removable and writable; but a
// write-protected disk is not writable, and of a busy one neither is known.
// `with_availability` adds `available` and, when false, `unavailableReason`.
nlohmann::json disk_info_json(const DiskInfo& disk, bool with_availability = false);

// The entry of a drive that another program holds alone: only its number
// is known.
DiskInfo busy_disk_info(std::uint32_t number);

// "SCSI", "ATA", "USB", "SATA", "SD", "MMC", "NVMe" or "Unknown".
std::string_view bus_label(std::uint32_t bus_type);

// "memory-card" for an SD or MMC bus or a card keyword in the lower-cased
// "vendor product"; else "usb-drive" on USB; else "removable-drive".
std::string_view disk_kind(const DeviceDescription& description);

// The product when it already holds the vendor (case-sensitive), otherwise
// "vendor product", or whichever is present, or "Removable storage".
std::string disk_model(const std::optional<std::string>& vendor, const std::optional<std::string>& product);

// The listing entry of a removable-class, writable drive with its length.
DiskInfo native_disk_info(std::uint32_t number, std::uint64_t length, const DeviceDescription& description);

// ConvertTo-Json writes one disk as an object and several as an array: the
// elements of an array, the object alone, or nothing for any other value.
std::vector<nlohmann::json> disk_objects(const nlohmann::json& value);

// A JSON integer written without fraction or exponent, not negative, up to
// `maximum`; nullopt for anything else.
std::optional<std::uint64_t> exact_count(const nlohmann::json& value, std::uint64_t maximum);

// The drive numbers Get-Disk reports as system or boot disks. Objects without
// a 32-bit Number are ignored.
std::set<std::uint32_t> protected_drive_numbers(const nlohmann::json& value);

// One Get-Disk object as a listing entry; nullopt when it is not listed: no
// 32-bit Number, no exact Size or a Size of 0, a system or boot disk, read
// only, or a bus other than USB, SD or MMC.
std::optional<DiskInfo> listed_disk(const nlohmann::json& object);

}  // namespace wh
