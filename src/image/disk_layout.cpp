#include "image/disk_layout.h"

#include <algorithm>
#include <array>

#include "image/image_format.h"

namespace wh {
namespace {

constexpr std::size_t kSector = 512;
constexpr std::size_t kIsoDescriptor = 32768;  // sector 16 of 2048 bytes

std::uint32_t u32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint64_t u64(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint64_t>(u32(b, at)) | static_cast<std::uint64_t>(u32(b, at + 4)) << 32;
}
std::uint16_t u16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

bool starts_with(std::span<const std::uint8_t> b, std::size_t at, std::string_view text) {
  return b.size() >= at + text.size() &&
         std::equal(text.begin(), text.end(), b.begin() + static_cast<long>(at),
                    [](char c, std::uint8_t x) { return static_cast<std::uint8_t>(c) == x; });
}

bool boot_signature(std::span<const std::uint8_t> head) {
  return head.size() >= kSector && head[510] == 0x55 && head[511] == 0xAA;
}

// ECMA-119's standard identifier "CD001" after the descriptor's type byte.
bool iso9660(std::span<const std::uint8_t> head) { return starts_with(head, kIsoDescriptor + 1, "CD001"); }

// A FAT, exFAT or NTFS boot sector: a jump, then a power-of-two sector size.
bool volume_boot_sector(std::span<const std::uint8_t> head) {
  const bool jump = (head[0] == 0xEB && head[2] == 0x90) || head[0] == 0xE9;
  const std::uint16_t sector = u16(head, 11);
  return jump && sector >= 512 && sector <= 4096 && (sector & (sector - 1)) == 0;
}

// The four MBR entries, when they look like partition entries.
bool mbr_entries_sound(std::span<const std::uint8_t> head) {
  for (std::size_t slot = 0; slot < 4; ++slot) {
    const std::uint8_t flag = head[446 + 16 * slot];
    if (flag != 0x00 && flag != 0x80) return false;
  }
  return true;
}

void note_end(DiskLayout& layout, std::uint64_t end, std::uint32_t number) {
  if (end <= layout.partitions_end) return;
  layout.partitions_end = end;
  layout.last_partition = number;
}

// A GPT header ("EFI PART") in the sector after the protective MBR, with
// 512- or 4096-byte sectors; its used entries, as far as `head` holds them.
bool read_gpt(std::span<const std::uint8_t> head, DiskLayout& layout) {
  for (const std::uint64_t sector : {std::uint64_t{512}, std::uint64_t{4096}}) {
    if (!starts_with(head, sector, "EFI PART") || head.size() < sector + 92) continue;
    const std::uint64_t entries_lba = u64(head, sector + 72);
    const std::uint32_t count = u32(head, sector + 80);
    const std::uint32_t entry_size = u32(head, sector + 84);
    layout.table = PartitionTable::kGpt;
    if (entry_size < 128 || entries_lba > head.size() / sector) return true;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t at = entries_lba * sector + std::uint64_t{i} * entry_size;
      if (at + 48 > head.size()) break;
      const auto entry = head.subspan(static_cast<std::size_t>(at), 48);
      if (std::all_of(entry.begin(), entry.begin() + 16, [](std::uint8_t b) { return b == 0; })) continue;
      const std::uint64_t last = u64(entry, 40);
      if (last >= UINT64_MAX / sector) continue;  // no disk that large: the entry is damaged
      note_end(layout, (last + 1) * sector, i + 1);
    }
    return true;
  }
  return false;
}

}  // namespace

DiskLayout read_disk_layout(std::span<const std::uint8_t> head) {
  DiskLayout layout;
  layout.disk_image = boot_signature(head) || iso9660(head);
  if (!boot_signature(head) || volume_boot_sector(head) || !mbr_entries_sound(head)) return layout;
  layout.table = PartitionTable::kMbr;
  bool protective = false;
  for (std::uint32_t slot = 0; slot < 4; ++slot) {
    const auto entry = head.subspan(446 + 16 * slot, 16);
    const std::uint32_t start = u32(entry, 8);
    const std::uint32_t count = u32(entry, 12);
    if (entry[4] == 0xEE) protective = true;
    if (entry[4] == 0x00 || entry[4] == 0xEE || count == 0) continue;
    note_end(layout, (std::uint64_t{start} + count) * kSector, slot + 1);
  }
  if (protective) {
    DiskLayout gpt = layout;
    gpt.partitions_end = 0;
    gpt.last_partition = 0;
    if (read_gpt(head, gpt)) return gpt;
  }
  return layout;
}

std::string_view partition_table_name(PartitionTable table) {
  switch (table) {
    case PartitionTable::kMbr:
      return "mbr";
    case PartitionTable::kGpt:
      return "gpt";
    case PartitionTable::kNone:
      return "none";
  }
  return "none";
}

std::optional<std::string> known_file_kind(std::span<const std::uint8_t> head) {
  switch (detect_format(head.first(std::min(head.size(), kFormatProbeBytes)))) {
    case ImageFormat::kXz:
      return "xz file";
    case ImageFormat::kGzip:
      return "gzip file";
    case ImageFormat::kBzip2:
      return "bzip2 file";
    case ImageFormat::kZstd:
      return "zstd file";
    case ImageFormat::kZip:
      return "zip archive";
    case ImageFormat::kSevenZip:
      return "7z archive";
    case ImageFormat::kRar:
      return "rar archive";
    case ImageFormat::kRaw:
      break;
  }
  // LZ4's frame magic 0x184D2204, and the legacy frame's 0x184C2102.
  if (head.size() >= 4 && u32(head, 0) == 0x184D2204) return "lz4 file";
  if (head.size() >= 4 && u32(head, 0) == 0x184C2102) return "lz4 file";
  // compress(1): 1F 9D.
  if (head.size() >= 3 && head[0] == 0x1F && head[1] == 0x9D) return "compress file (.Z)";
  // POSIX tar's "ustar" magic at byte 257 of the first header.
  if (starts_with(head, 257, "ustar")) return "tar archive";
  // LZMA-alone (.lzma) has no magic: properties lc/lp/pb below 225, a
  // dictionary of 2^n or 2^n + 2^(n-1) bytes, then the size or "unknown",
  // as liblzma's own decoder accepts them.
  if (head.size() >= 13 && head[0] < 225) {
    const std::uint32_t dictionary = u32(head, 1);
    std::uint32_t rounded = dictionary == 0 ? 0 : dictionary - 1;
    rounded |= rounded >> 2, rounded |= rounded >> 3, rounded |= rounded >> 4, rounded |= rounded >> 8,
        rounded |= rounded >> 16;
    const bool sound_dictionary = dictionary >= 4096 && rounded + 1 == dictionary;
    const std::uint64_t size = u64(head, 5);
    if (sound_dictionary && (size == UINT64_MAX || size < (std::uint64_t{1} << 38))) {
      return "LZMA-alone file (.lzma)";
    }
  }
  return std::nullopt;
}

bool decodable_kind(std::string_view kind) {
  constexpr std::array<std::string_view, 5> kDecoded{"xz file", "gzip file", "bzip2 file", "zstd file", "zip archive"};
  return std::find(kDecoded.begin(), kDecoded.end(), kind) != kDecoded.end();
}

std::string with_article(std::string_view kind) {
  const bool vowel = kind.starts_with("xz") || kind.starts_with("lz4") || kind.starts_with("LZMA");
  return (vowel ? "an " : "a ") + std::string(kind);
}

}  // namespace wh
