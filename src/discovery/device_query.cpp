#include "discovery/device_query.h"

#include <algorithm>

#include "platform/unicode.h"
#include "platform/win32/ioctl_replies.h"

namespace wh {
namespace {

constexpr std::size_t kDescriptorMinimum = 36;
constexpr std::size_t kDescriptorBuffer = 1024;
constexpr std::uint64_t kDiskAttributeReadOnly = 0x2;
constexpr std::uint32_t kBusUsb = 7;
constexpr std::uint32_t kBusSd = 12;
constexpr std::uint32_t kBusMmc = 13;

// The text at `offset`, up to its NUL or `limit`.
std::optional<std::string> text_at(std::span<const std::uint8_t> reply, std::uint32_t offset,
                                   std::size_t limit) {
  if (offset == 0 || offset >= limit) return std::nullopt;
  const auto begin = reply.begin() + offset;
  const auto end = std::find(begin, reply.begin() + static_cast<std::ptrdiff_t>(limit), std::uint8_t{0});
  const std::string decoded = utf8_lossy(std::string_view(reinterpret_cast<const char*>(&*begin),
                                                          static_cast<std::size_t>(end - begin)));
  std::string trimmed(trim_unicode_whitespace(decoded));
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

}  // namespace

std::string physical_drive_path(std::uint32_t number) {
  return "\\\\.\\PhysicalDrive" + std::to_string(number);
}

OsResult<HandlePtr> open_drive_for_query(Platform& platform, std::uint32_t number) {
  return platform.open_drive_for_query(physical_drive_path(number));
}

std::optional<DeviceDescription> parse_storage_descriptor(std::span<const std::uint8_t> reply) {
  if (reply.size() < kDescriptorMinimum) return std::nullopt;
  const std::uint32_t size = read_u32le(reply, 4);
  // A field is there when the descriptor says so and the reply holds it.
  const std::size_t limit = std::min<std::size_t>({size, kDescriptorBuffer, reply.size()});
  const auto field = [&](std::size_t at) { return at + 4 <= limit ? read_u32le(reply, at) : 0u; };
  DeviceDescription description;
  description.removable_media = limit > 10 && reply[10] != 0;
  description.bus_type = field(28);
  description.vendor = text_at(reply, field(12), limit);
  description.product = text_at(reply, field(16), limit);
  description.serial = text_at(reply, field(24), limit);
  return description;
}

std::optional<DeviceDescription> read_device_description(Handle& drive) {
  auto reply = drive.storage_descriptor();
  if (!reply) return std::nullopt;
  return parse_storage_descriptor(*reply);
}

bool is_removable_class(const DeviceDescription& description) {
  return description.removable_media || description.bus_type == kBusUsb ||
         description.bus_type == kBusSd || description.bus_type == kBusMmc;
}

bool reports_read_only(Handle& drive) {
  auto attributes = drive.disk_attributes();
  return attributes && (*attributes & kDiskAttributeReadOnly) != 0;
}

}  // namespace wh
