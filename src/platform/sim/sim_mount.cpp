#include "platform/sim/sim_mount.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "platform/sim/sim_events.h"

namespace wh::sim {
namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::uint8_t kFatTypes[] = {0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E, 0xEF};
constexpr std::uint32_t kFsInfoLeadSignature = 0x41615252;
constexpr std::uint32_t kFsInfoStructSignature = 0x61417272;
constexpr std::uint32_t kFsInfoTrailSignature = 0xAA550000;

using Sector = std::array<std::uint8_t, kSector>;

std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void put_u32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The drive's bytes; past the end of a shorter backing file they are zeros,
// as the drive reads them.
class DriveBytes {
 public:
  explicit DriveBytes(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
  ~DriveBytes() {
    if (fd_ >= 0) ::close(fd_);
  }
  DriveBytes(const DriveBytes&) = delete;
  DriveBytes& operator=(const DriveBytes&) = delete;
  bool ok() const { return fd_ >= 0; }
  bool read(std::uint64_t offset, std::uint8_t* out, std::size_t n) const {
    std::fill(out, out + n, 0);
    const ssize_t got = ::pread(fd_, out, n, static_cast<off_t>(offset));
    return got >= 0;
  }
  bool write(std::uint64_t offset, const std::uint8_t* in, std::size_t n) const {
    return ::pwrite(fd_, in, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
  }

 private:
  int fd_;
};

struct Fat32 {
  std::uint64_t start = 0;  // partition's byte offset
  std::uint32_t reserved = 0;
  std::uint32_t fats = 0;
  std::uint32_t fat_sectors = 0;
  std::uint32_t clusters = 0;  // data clusters, numbered from 2
  std::uint32_t fs_info = 0;
};

// The first FAT-type partition of the MBR whose boot sector is FAT32 with
// 512-byte sectors (a zero 16-bit FAT size marks FAT32, as fastfat reads it).
std::optional<Fat32> find_fat32(const DriveBytes& bytes, std::uint64_t drive_length) {
  Sector mbr{};
  if (!bytes.read(0, mbr.data(), kSector) || mbr[510] != 0x55 || mbr[511] != 0xAA) return std::nullopt;
  for (int slot = 0; slot < 4; ++slot) {
    const std::uint8_t* entry = mbr.data() + 446 + 16 * slot;
    if (std::find(std::begin(kFatTypes), std::end(kFatTypes), entry[4]) == std::end(kFatTypes)) continue;
    const std::uint64_t start = u32(entry + 8) * kSector;
    if (start == 0 || start + kSector > drive_length) return std::nullopt;
    Sector boot{};
    if (!bytes.read(start, boot.data(), kSector)) return std::nullopt;
    const std::uint32_t per_cluster = boot[13];
    Fat32 fat{start, u16(&boot[14]), boot[16], u32(&boot[36]), 0, u16(&boot[48])};
    const bool fat32 = boot[510] == 0x55 && boot[511] == 0xAA && u16(&boot[11]) == kSector && per_cluster != 0 &&
                       fat.reserved != 0 && fat.fats != 0 && u16(&boot[22]) == 0 && fat.fat_sectors != 0;
    if (!fat32) return std::nullopt;
    const std::uint64_t total = u16(&boot[19]) != 0 ? u16(&boot[19]) : u32(&boot[32]);
    const std::uint64_t system = fat.reserved + std::uint64_t{fat.fats} * fat.fat_sectors;
    const std::uint64_t clusters = total > system ? (total - system) / per_cluster : 0;
    // A FAT holds entries for clusters 0 and 1 too.
    const std::uint64_t room = std::uint64_t{fat.fat_sectors} * (kSector / 4) - 2;
    fat.clusters = static_cast<std::uint32_t>(std::min(clusters, room));
    return fat;
  }
  return std::nullopt;
}

// fastfat's count of free clusters and its cluster hint: the first free
// cluster, or 2 when there is none.
std::pair<std::uint32_t, std::uint32_t> free_clusters(const DriveBytes& bytes, const Fat32& fat) {
  std::uint32_t free = 0;
  std::uint32_t first = 0;
  Sector sector{};
  for (std::uint64_t cluster = 2; cluster < std::uint64_t{fat.clusters} + 2; ++cluster) {
    const std::uint64_t at = cluster * 4;
    if (cluster == 2 || at % kSector == 0) bytes.read(fat.start + fat.reserved * kSector + at / kSector * kSector,
                                                      sector.data(), kSector);
    if ((u32(sector.data() + at % kSector) & 0x0FFFFFFF) != 0) continue;
    ++free;
    if (first == 0) first = static_cast<std::uint32_t>(cluster);
  }
  return {free, first == 0 ? 2 : first};
}

}  // namespace

std::optional<MountSideEffect> apply_mount_side_effects(const SimDrive& drive, const std::string& directory,
                                                        std::string_view cause) {
  if (!drive.mount_side_effects || drive.no_medium || drive_read_only(drive)) return std::nullopt;
  const DriveBytes bytes(drive.backing_file);
  if (!bytes.ok()) return std::nullopt;
  const auto fat = find_fat32(bytes, drive_length(drive));
  if (!fat) return std::nullopt;

  MountSideEffect done;
  done.partition_offset = fat->start;
  for (std::uint32_t copy = 0; copy < fat->fats; ++copy) {
    const std::uint64_t entry = fat->start + (fat->reserved + std::uint64_t{copy} * fat->fat_sectors) * kSector + 4;
    std::uint8_t value[4];
    if (!bytes.read(entry, value, 4)) continue;
    put_u32(value, u32(value) & ~kFatCleanShutdownBit);
    if (bytes.write(entry, value, 4)) ++done.fat_copies;
  }
  // The FSInfo sector lies among the reserved sectors, after the boot sector.
  Sector info{};
  if (fat->fs_info >= 1 && fat->fs_info < fat->reserved &&
      bytes.read(fat->start + fat->fs_info * kSector, info.data(), kSector) &&
      u32(&info[0]) == kFsInfoLeadSignature && u32(&info[484]) == kFsInfoStructSignature &&
      u32(&info[508]) == kFsInfoTrailSignature) {
    const auto [count, next] = free_clusters(bytes, *fat);
    put_u32(&info[488], count);
    put_u32(&info[492], next);
    if (bytes.write(fat->start + fat->fs_info * kSector + 488, &info[488], 8)) {
      done.free_clusters = count;
      done.next_free_cluster = next;
    }
  }

  nlohmann::json event = {{"op", "mountSideEffect"}, {"disk", drive.number}, {"cause", cause},
                          {"partitionOffset", done.partition_offset}, {"fatCopies", done.fat_copies}};
  if (done.free_clusters) {
    event["freeClusters"] = *done.free_clusters;
    event["nextFreeCluster"] = *done.next_free_cluster;
  }
  append_event(directory, std::move(event));
  return done;
}

}  // namespace wh::sim
