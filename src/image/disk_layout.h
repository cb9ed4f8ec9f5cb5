// What the first bytes of an image say it is: a disk image (the 0x55 0xAA
// boot signature at the end of its first sector, as an MBR, a GPT disk's
// protective MBR or a volume's boot sector carry it, or an ISO 9660 volume
// descriptor), the partition table it brings and where its partitions end;
// or, when it is no disk image, the kind of file it is, for a refusal that
// names it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace wh {

// The first bytes of an image that the checks look at: the ISO 9660 volume
// descriptors start at byte 32768, a GPT's entries normally at 1024.
inline constexpr std::size_t kImageHeadBytes = 64 * 1024;

enum class PartitionTable { kNone, kMbr, kGpt };

struct DiskLayout {
  bool disk_image = false;
  PartitionTable table = PartitionTable::kNone;
  // The byte after the partition that ends last (0 with none), and that
  // partition's number in its table, from 1.
  std::uint64_t partitions_end = 0;
  std::uint32_t last_partition = 0;
};

// The layout `head` shows: the image's first kImageHeadBytes, fewer for a
// shorter image. An MBR counts only when each of its four entries has a
// boot flag of 0x00 or 0x80; a volume boot sector (a jump, then a sound
// sector size) is a disk image without a table. A GPT's entries count as
// far as `head` holds them.
DiskLayout read_disk_layout(std::span<const std::uint8_t> head);

// "mbr", "gpt", "none".
std::string_view partition_table_name(PartitionTable table);

// The kind of file `head` starts like, told by the formats' own signatures,
// for bytes that are no disk image: "xz file", "gzip file", "bzip2 file",
// "zstd file", "zip archive", "7z archive", "rar archive", "lz4 file",
// "LZMA-alone file (.lzma)", "compress file (.Z)", "tar archive"; nullopt
// for anything else.
std::optional<std::string> known_file_kind(std::span<const std::uint8_t> head);

// Whether a kind of known_file_kind is a compressed file that the helper
// decodes itself (xz, gzip, bzip2, zstd, zip).
bool decodable_kind(std::string_view kind);

// "a " or "an " and the kind.
std::string with_article(std::string_view kind);

}  // namespace wh
