// Asking a physical drive what it is: the query open, and the storage
// descriptor, length and attributes read from it. One implementation serves
// the disk listing and every identity check of a target.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/platform.h"

namespace wh {

// "\\.\PhysicalDrive" followed by N in decimal.
std::string physical_drive_path(std::uint32_t number);

// GENERIC_READ, sharing read and write: a query that disturbs no other user
// of the drive. The caller closes the handle as soon as the query is done.
OsResult<HandlePtr> open_drive_for_query(Platform& platform, std::uint32_t number);

// What a STORAGE_DEVICE_DESCRIPTOR says about a device.
struct DeviceDescription {
  bool removable_media = false;
  std::uint32_t bus_type = 0;
  // Trimmed texts; absent when the offset is 0, out of bounds, or the text is
  // empty after trimming.
  std::optional<std::string> vendor;
  std::optional<std::string> product;
  std::optional<std::string> serial;
};

// Decodes a descriptor reply. Nullopt below 36 bytes. A field counts only as
// far as the descriptor's own Size covers it, and no read ever goes past the
// bytes the call returned, whatever Size claims.
std::optional<DeviceDescription> parse_storage_descriptor(std::span<const std::uint8_t> reply);

// IOCTL_STORAGE_QUERY_PROPERTY on `drive`, decoded; nullopt when the call
// fails or the reply is too short.
std::optional<DeviceDescription> read_device_description(Handle& drive);

// RemovableMedia, or a USB, SD or MMC bus.
bool is_removable_class(const DeviceDescription& description);

// IOCTL_DISK_GET_DISK_ATTRIBUTES answered with DISK_ATTRIBUTE_READ_ONLY. A
// failing call counts as writable.
bool reports_read_only(Handle& drive);

}  // namespace wh
