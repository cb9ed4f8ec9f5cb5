// Decoding the byte replies of the Windows device controls the helper sends.
// Pure functions over buffers, so they are tested on every system even though
// only the Win32 layer uses them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace wh {

inline constexpr std::uint32_t kIoctlDiskGetLengthInfo = 0x0007405C;
inline constexpr std::uint32_t kIoctlStorageQueryProperty = 0x002D1400;
inline constexpr std::uint32_t kIoctlDiskGetDiskAttributes = 0x000700F0;
inline constexpr std::uint32_t kIoctlDiskUpdateProperties = 0x00070140;
inline constexpr std::uint32_t kIoctlVolumeGetVolumeDiskExtents = 0x00560000;
inline constexpr std::uint32_t kFsctlLockVolume = 0x00090018;
inline constexpr std::uint32_t kFsctlDismountVolume = 0x00090020;
inline constexpr std::uint32_t kFsctlSetSparse = 0x000900C4;
inline constexpr std::uint32_t kIoctlDiskGetDriveGeometryEx = 0x000700A0;

// Little-endian reads; the caller guarantees the bytes are there.
std::uint32_t read_u32le(std::span<const std::uint8_t> bytes, std::size_t at);
std::uint64_t read_u64le(std::span<const std::uint8_t> bytes, std::size_t at);

// GET_LENGTH_INFORMATION: the signed 64-bit `Length`; nullopt when fewer than
// 8 bytes came back or the length is negative.
std::optional<std::uint64_t> parse_length_info(std::span<const std::uint8_t> reply);

// GET_DISK_ATTRIBUTES: `Attributes` at offset 8; nullopt below 16 bytes.
std::optional<std::uint64_t> parse_disk_attributes(std::span<const std::uint8_t> reply);

// VOLUME_DISK_EXTENTS: the DiskNumber of each DISK_EXTENT (24 bytes each,
// from offset 8). Nullopt when fewer than 4 bytes came back or the reply does
// not hold every extent it announces.
std::optional<std::vector<std::uint32_t>> parse_disk_extents(std::span<const std::uint8_t> reply);

// DISK_GEOMETRY_EX: the DISK_GEOMETRY's BytesPerSector at offset 20; nullopt
// below 24 bytes or when it is not a power of two from 512 to 65536.
std::optional<std::uint32_t> parse_drive_geometry(std::span<const std::uint8_t> reply);

}  // namespace wh
