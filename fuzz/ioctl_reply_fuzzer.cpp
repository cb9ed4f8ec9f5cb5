// libFuzzer target for the decoders of device-control replies: the storage
// descriptor a drive's firmware fills (vendor, product and serial texts at
// offsets it chooses), the volume's disk extents, and the length and
// attribute replies. The texts must be trimmed UTF-8 taken only from bytes
// the descriptor's Size, the 1024-byte buffer and the reply all cover; every
// decoder is checked against a plain reading of the reply's layout.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "discovery/device_query.h"
#include "platform/unicode.h"
#include "platform/win32/ioctl_replies.h"

namespace {

std::uint64_t little_endian(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t k = 0; k < width; ++k) value |= std::uint64_t{bytes[at + k]} << (8 * k);
  return value;
}

bool is_trimmed_text(const std::optional<std::string>& text) {
  if (!text) return true;
  if (text->empty() || !wh::is_valid_utf8(*text)) return false;
  return wh::trim_unicode_whitespace(*text).size() == text->size();
}

bool same(const wh::DeviceDescription& a, const wh::DeviceDescription& b) {
  return a.removable_media == b.removable_media && a.bus_type == b.bus_type && a.vendor == b.vendor &&
         a.product == b.product && a.serial == b.serial;
}

void check_descriptor(std::span<const std::uint8_t> reply) {
  const auto description = wh::parse_storage_descriptor(reply);
  if (description.has_value() != (reply.size() >= 36)) std::abort();
  if (!description) return;
  if (!is_trimmed_text(description->vendor) || !is_trimmed_text(description->product) ||
      !is_trimmed_text(description->serial)) {
    std::abort();
  }
  // Bytes past what the descriptor covers never count: blanking them (the
  // Size field itself kept) decodes to the same description.
  const std::size_t covered =
      std::min<std::size_t>({static_cast<std::size_t>(little_endian(reply, 4, 4)), 1024, reply.size()});
  std::vector<std::uint8_t> blanked(reply.begin(), reply.end());
  std::fill(blanked.begin() + static_cast<std::ptrdiff_t>(std::max<std::size_t>(covered, 8)), blanked.end(),
            std::uint8_t{0});
  const auto again = wh::parse_storage_descriptor(blanked);
  if (!again || !same(*description, *again)) std::abort();
  const std::uint32_t bus = covered >= 32 ? static_cast<std::uint32_t>(little_endian(reply, 28, 4)) : 0;
  if (description->bus_type != bus) std::abort();
  if (description->removable_media != (covered > 10 && reply[10] != 0)) std::abort();
}

void check_extents(std::span<const std::uint8_t> reply) {
  const auto disks = wh::parse_disk_extents(reply);
  if (reply.size() < 4) {
    if (disks) std::abort();
    return;
  }
  const std::uint64_t count = little_endian(reply, 0, 4);
  const bool whole = reply.size() >= 8 + 24 * count;
  if (disks.has_value() != whole) std::abort();
  if (!disks) return;
  if (disks->size() != count) std::abort();
  for (std::size_t k = 0; k < count; ++k) {
    if ((*disks)[k] != little_endian(reply, 8 + 24 * k, 4)) std::abort();
  }
}

void check_fixed_replies(std::span<const std::uint8_t> reply) {
  const auto length = wh::parse_length_info(reply);
  const bool length_ok = reply.size() >= 8 && little_endian(reply, 0, 8) <= INT64_MAX;
  if (length.has_value() != length_ok || (length && *length != little_endian(reply, 0, 8))) std::abort();
  const auto attributes = wh::parse_disk_attributes(reply);
  if (attributes.has_value() != (reply.size() >= 16)) std::abort();
  if (attributes && *attributes != little_endian(reply, 8, 8)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Each decoder gets a buffer of exactly the reply's length, so ASan sees
  // any read past it.
  const std::vector<std::uint8_t> reply(data, data + size);
  check_descriptor(reply);
  check_extents(reply);
  check_fixed_replies(reply);
  return 0;
}
