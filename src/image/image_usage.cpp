#include "image/image_usage.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <zlib.h>

#include "boot/boot_reader.h"
#include "image/ext_usage.h"
#include "image/fat_usage.h"

namespace wh {

namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::uint8_t kGptProtective = 0xEE;
constexpr std::uint32_t kMaxGptEntries = 1024;

enum class Kind { kFat, kExt, kOther };

struct Found {
  PartitionUsage usage;
  Kind kind = Kind::kOther;
};

struct Table {
  std::string name;
  std::uint64_t end = 0;             // the first byte after the table
  std::uint64_t usable_end = 0;      // partitions end at or before it (GPT); 0: no limit
  std::vector<Found> partitions;
  bool waiting = false;
};

std::uint32_t le32(const std::uint8_t* bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}
std::uint64_t le64(const std::uint8_t* bytes) {
  return le32(bytes) | (static_cast<std::uint64_t>(le32(bytes + 4)) << 32);
}

Kind mbr_kind(std::uint8_t type) {
  if (is_fat_boot_type(type)) return Kind::kFat;
  return type == kLinuxPartitionType ? Kind::kExt : Kind::kOther;
}

// GPT type GUIDs as stored (mixed-endian): EFI system and Microsoft basic
// data partitions hold FAT; Linux file system data holds ext.
Kind gpt_kind(const std::uint8_t* guid) {
  static constexpr std::array<std::uint8_t, 16> kEfi = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                                        0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
  static constexpr std::array<std::uint8_t, 16> kBasicData = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                                              0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
  static constexpr std::array<std::uint8_t, 16> kLinux = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                                          0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};
  if (std::memcmp(guid, kEfi.data(), 16) == 0 || std::memcmp(guid, kBasicData.data(), 16) == 0) return Kind::kFat;
  return std::memcmp(guid, kLinux.data(), 16) == 0 ? Kind::kExt : Kind::kOther;
}

bool read(ImageBytes& image, std::uint64_t offset, Bytes& into, Table& table) {
  const Availability got = image.read(offset, into);
  if (got == Availability::kLater) table.waiting = true;
  return got == Availability::kRead;
}

// The GPT behind a protective MBR: its header at LBA 1 and its entries, both
// checked against their CRC-32s. An unsound one leaves no partitions.
void read_gpt(ImageBytes& image, Table& table) {
  Bytes header(kSector);
  if (!read(image, kSector, header, table)) return;
  const std::uint32_t header_size = le32(&header[12]);
  if (std::memcmp(header.data(), "EFI PART", 8) != 0 || header_size < 92 || header_size > kSector) return;
  Bytes zeroed = header;
  std::memset(&zeroed[16], 0, 4);
  if (crc32(0, zeroed.data(), header_size) != le32(&header[16])) return;
  const std::uint64_t entries_lba = le64(&header[72]);
  const std::uint32_t count = le32(&header[80]);
  const std::uint32_t entry_size = le32(&header[84]);
  if (count > kMaxGptEntries || entry_size < 128 || entry_size % 8 != 0 || entry_size > 4096 || entries_lba < 2 ||
      entries_lba > (UINT64_MAX / kSector) - 64) {
    return;
  }
  Bytes entries(std::size_t{count} * entry_size);
  if (!read(image, entries_lba * kSector, entries, table)) return;
  if (crc32(0, entries.data(), static_cast<uInt>(entries.size())) != le32(&header[88])) return;
  const std::uint64_t first_usable = le64(&header[40]);
  const std::uint64_t last_usable = le64(&header[48]);
  if (last_usable >= UINT64_MAX / kSector) return;
  table.name = "GPT";
  table.end = std::max((entries_lba * kSector) + entries.size(), first_usable * kSector);
  table.usable_end = (last_usable + 1) * kSector;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = &entries[std::size_t{i} * entry_size];
    if (std::all_of(entry, entry + 16, [](std::uint8_t b) { return b == 0; })) continue;
    const std::uint64_t first = le64(entry + 32), last = le64(entry + 40);
    Found found{{i + 1, {first * kSector, 0}, "", 0, ""}, gpt_kind(entry)};
    if (last < first || last >= UINT64_MAX / kSector) {
      found.usage.bytes.end = found.usage.bytes.start;
      found.usage.written_whole = "its entry is unsound";
    } else {
      found.usage.bytes.end = (last + 1) * kSector;
    }
    table.partitions.push_back(std::move(found));
  }
}

Table read_table(ImageBytes& image) {
  Table table;
  Bytes mbr(kSector);
  if (!read(image, 0, mbr, table) || !has_boot_signature(mbr)) return table;
  const auto entries = parse_partition_table(mbr);
  if (std::any_of(entries.begin(), entries.end(), [](const MbrPartitionEntry& e) { return e.partition_type == kGptProtective; })) {
    read_gpt(image, table);
    return table;
  }
  table.name = "MBR";
  table.end = kSector;
  for (const MbrPartitionEntry& entry : entries) {
    const std::uint64_t start = std::uint64_t{entry.start_lba} * kSector;
    table.partitions.push_back({{entry.number, {start, start + std::uint64_t{entry.sector_count} * kSector}, "", 0, ""},
                                mbr_kind(entry.partition_type)});
  }
  return table;
}

// Marks what makes a partition's bytes untouchable whatever its contents say.
void judge_placement(Table& table, std::optional<std::uint64_t> image_size) {
  auto& parts = table.partitions;
  for (Found& part : parts) {
    std::string& why = part.usage.written_whole;
    const ByteRange& bytes = part.usage.bytes;
    if (!why.empty()) continue;
    if (bytes.start < table.end) why = "it overlaps the partition table";
    else if (table.usable_end != 0 && bytes.end > table.usable_end) why = "it reaches past the table's usable space";
    else if (image_size && bytes.end > *image_size) why = "the image ends before it does";
    else if (part.kind == Kind::kOther) why = "its partition type is not one whose file system is read";
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    for (std::size_t j = 0; j < parts.size(); ++j) {
      const ByteRange& a = parts[i].usage.bytes;
      const ByteRange& b = parts[j].usage.bytes;
      if (i != j && a.start < b.end && b.start < a.end) parts[i].usage.written_whole = "it overlaps another partition";
    }
  }
}

}  // namespace

ImageUsage scan_image_usage(ImageBytes& image) {
  Table table = read_table(image);
  ImageUsage usage;
  usage.table = table.name;
  usage.waiting = table.waiting;
  judge_placement(table, image.size());
  for (Found& part : table.partitions) {
    if (part.usage.written_whole.empty()) {
      FileSystemUsage fs = part.kind == Kind::kFat ? fat_usage(image, part.usage.bytes) : ext_usage(image, part.usage.bytes);
      part.usage.file_system = fs.file_system;
      usage.waiting = usage.waiting || fs.waiting;
      part.usage.written_whole = fs.waiting ? "" : fs.whole_reason;
      if (part.usage.written_whole.empty() && !fs.waiting) {
        for (const ByteRange& range : fs.free) part.usage.free_bytes += range.length();
        usage.free.insert(usage.free.end(), fs.free.begin(), fs.free.end());
      }
    }
    usage.partitions.push_back(std::move(part.usage));
  }
  std::sort(usage.free.begin(), usage.free.end(), [](const ByteRange& a, const ByteRange& b) { return a.start < b.start; });
  return usage;
}

}  // namespace wh
