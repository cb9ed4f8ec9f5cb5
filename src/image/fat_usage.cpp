#include "image/fat_usage.h"

#include "boot/fat_volume.h"

namespace wh {

namespace {

constexpr std::uint64_t kSector = 512;

const char* type_name(FatType type) {
  switch (type) {
    case FatType::kFat12: return "FAT12";
    case FatType::kFat16: return "FAT16";
    case FatType::kFat32: return "FAT32";
  }
  return "FAT";
}

FileSystemUsage whole(std::string file_system, std::string reason) {
  return FileSystemUsage{std::move(file_system), {}, std::move(reason), false};
}

}  // namespace

FileSystemUsage fat_usage(ImageBytes& image, ByteRange partition) {
  Bytes first(kSector);
  switch (image.read(partition.start, first)) {
    case Availability::kRead: break;
    case Availability::kLater: return FileSystemUsage{"", {}, "", true};
    case Availability::kNever: return whole("", "its first sector could not be read");
  }
  const std::optional<FatVolume> volume = fat_volume(parse_fat32_boot_sector(first));
  if (!volume) return whole("", "it holds no FAT file system");
  const std::string name = type_name(volume->type);
  if (volume->volume_bytes > partition.length()) return whole(name, "the file system is larger than its partition");

  Bytes fat(static_cast<std::size_t>(fat_entry_bytes(*volume)));
  switch (image.read(partition.start + volume->fat_offset, fat)) {
    case Availability::kRead: break;
    case Availability::kLater: return FileSystemUsage{name, {}, "", true};
    case Availability::kNever: return whole(name, "its first FAT could not be read");
  }
  // Entry 0 repeats the boot sector's media byte; anything else is not the
  // FAT this boot sector describes.
  if ((fat_entry(*volume, fat, 0) & 0xFF) != first[21]) return whole(name, "its first FAT does not match its boot sector");
  // FAT16 and FAT32 keep a clean-shutdown flag in entry 1: a volume in use
  // when the image was made may have a FAT behind its files.
  const std::uint32_t entry1 = fat_entry(*volume, fat, 1);
  if ((volume->type == FatType::kFat16 && (entry1 & 0x8000) == 0) ||
      (volume->type == FatType::kFat32 && (entry1 & 0x08000000) == 0)) {
    return whole(name, "it was not cleanly unmounted");
  }

  FileSystemUsage usage{name, {}, "", false};
  const std::uint64_t data = partition.start + volume->data_offset;
  const std::uint32_t last = volume->cluster_count + 1;
  for (std::uint32_t cluster = 2; cluster <= last; ++cluster) {
    if (fat_entry(*volume, fat, cluster) != 0) continue;
    const std::uint64_t start = data + (cluster - 2) * volume->cluster_bytes;
    if (!usage.free.empty() && usage.free.back().end == start) {
      usage.free.back().end += volume->cluster_bytes;
    } else {
      usage.free.push_back({start, start + volume->cluster_bytes});
    }
  }
  return usage;
}

}  // namespace wh
