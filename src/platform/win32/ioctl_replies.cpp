#include "platform/win32/ioctl_replies.h"

namespace wh {

std::uint32_t read_u32le(std::span<const std::uint8_t> bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | bytes[at + static_cast<std::size_t>(i)];
  return v;
}

std::uint64_t read_u64le(std::span<const std::uint8_t> bytes, std::size_t at) {
  return read_u32le(bytes, at) | (static_cast<std::uint64_t>(read_u32le(bytes, at + 4)) << 32);
}

std::optional<std::uint64_t> parse_length_info(std::span<const std::uint8_t> reply) {
  if (reply.size() < 8) return std::nullopt;
  const std::uint64_t length = read_u64le(reply, 0);
  if (length > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  return length;
}

std::optional<std::uint64_t> parse_disk_attributes(std::span<const std::uint8_t> reply) {
  if (reply.size() < 16) return std::nullopt;
  return read_u64le(reply, 8);
}

std::optional<std::vector<std::uint32_t>> parse_disk_extents(std::span<const std::uint8_t> reply) {
  constexpr std::size_t kHeader = 8;
  constexpr std::size_t kExtentSize = 24;
  if (reply.size() < 4) return std::nullopt;
  const std::uint64_t count = read_u32le(reply, 0);
  if (reply.size() < kHeader + kExtentSize * count) return std::nullopt;
  std::vector<std::uint32_t> disks;
  for (std::size_t k = 0; k < count; ++k) disks.push_back(read_u32le(reply, kHeader + kExtentSize * k));
  return disks;
}

std::optional<std::uint32_t> parse_drive_geometry(std::span<const std::uint8_t> reply) {
  if (reply.size() < 24) return std::nullopt;
  const std::uint32_t bytes = read_u32le(reply, 20);
  if (bytes < 512 || bytes > 65536 || (bytes & (bytes - 1)) != 0) return std::nullopt;
  return bytes;
}

}  // namespace wh
