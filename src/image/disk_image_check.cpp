#include "image/disk_image_check.h"

#include <algorithm>

#include "image/declared_size.h"
#include "image/image_decode.h"

namespace wh {
namespace {

Err<HelperError> invalid(std::string message) { return fail(ErrorCode::kXzInvalid, std::move(message)); }

// How the messages name the image: the file itself when it is written as it
// is, the file and its format when it is decoded.
std::string decoded_from(ImageFormat format) { return "the " + std::string(format_name(format)) + " file"; }

// The image's first kImageHeadBytes decoded as `format`, then back to byte 0.
// A decode that stops because the head is full is no failure; one that
// fails before is.
HelperStatus read_head(Handle& source, ImageFormat format, ImageHead& head, bool& ended) {
  auto sink = [&head](std::span<const std::uint8_t> piece) -> SinkStatus {
    head.take(piece);
    if (head.full()) return Err(std::string("the head is complete"));
    return {};
  };
  HelperStatus decoded = decode_image(source, format, /*source_digest=*/nullptr, sink);
  ended = decoded.ok();
  if (!decoded && !head.full()) return decoded;
  if (auto back = source.seek(0); !back) return invalid("io error: " + back.error().text());
  return {};
}

}  // namespace

void ImageHead::take(std::span<const std::uint8_t> piece) {
  const std::size_t room = kImageHeadBytes - bytes_.size();
  bytes_.insert(bytes_.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(std::min(room, piece.size())));
}

HelperResult<ImageFacts> examine_image(Handle& source, ImageFormat format, bool raw_without_partition_table) {
  ImageFacts facts;
  facts.format = format;
  auto declared = declared_size(source, format);
  if (!declared) return Err(std::move(declared).error());
  facts.size = *declared;
  ImageHead head;
  bool ended = false;
  if (auto read = read_head(source, format, head, ended); !read) return Err(std::move(read).error());
  // A head that holds the whole image tells its size too.
  if (ended) facts.size = head.bytes().size();
  if (facts.size) {
    if (auto empty = refuse_empty(format, *facts.size); !empty) return Err(std::move(empty).error());
  }
  if (auto disk = refuse_non_disk_image(format, head.bytes(), raw_without_partition_table); !disk) {
    return Err(std::move(disk).error());
  }
  facts.layout = read_disk_layout(head.bytes());
  if (facts.size) {
    if (auto whole = refuse_cut_short(facts.layout, *facts.size); !whole) return Err(std::move(whole).error());
  }
  return facts;
}

HelperStatus refuse_empty(ImageFormat format, std::uint64_t image_bytes) {
  if (image_bytes > 0) return {};
  if (format == ImageFormat::kRaw) return invalid("The image is empty: it holds no bytes");
  return invalid("The image is empty: " + decoded_from(format) + " decodes to no bytes");
}

HelperStatus refuse_non_disk_image(ImageFormat format, std::span<const std::uint8_t> head,
                                   bool raw_without_partition_table) {
  if (head.empty() || read_disk_layout(head).disk_image) return {};
  const std::optional<std::string> kind = known_file_kind(head);
  if (format == ImageFormat::kRaw) {
    if (kind && decodable_kind(*kind)) {
      return invalid("Not a disk image: the image is " + with_article(*kind) +
                     "; write it with decompress, or extract it first");
    }
    if (kind) return invalid("Unsupported image format: " + *kind);
    if (raw_without_partition_table) return {};
    return invalid(
        "Not a disk image: its first sector has no boot signature (55 AA) and it holds no ISO 9660 "
        "volume descriptor (a web page or another file saved under an image's name?)");
  }
  if (kind) {
    const bool twice =
        decodable_kind(*kind) || kind->starts_with("lz") || kind->starts_with("LZ") || kind->starts_with("compress");
    return invalid("Not a disk image: " + decoded_from(format) + " holds " + with_article(*kind) +
                   (twice ? " (compressed twice?)" : ", not a disk image"));
  }
  if (raw_without_partition_table) return {};
  return invalid("Not a disk image: " + decoded_from(format) +
                 " decodes to bytes whose first sector has no boot signature (55 AA) and that hold no ISO 9660 "
                 "volume descriptor");
}

HelperStatus refuse_cut_short(const DiskLayout& layout, std::uint64_t image_bytes) {
  if (layout.partitions_end <= image_bytes) return {};
  return invalid("The image is cut short: its partition table says partition " + std::to_string(layout.last_partition) +
                 " ends at byte " + std::to_string(layout.partitions_end) + ", but the image ends at byte " +
                 std::to_string(image_bytes) + " (a download that did not finish, or a damaged copy)");
}

HelperStatus check_decoded_image(ImageFormat format, const ImageHead& head, std::uint64_t image_bytes,
                                 bool raw_without_partition_table) {
  if (auto empty = refuse_empty(format, image_bytes); !empty) return empty;
  if (auto disk = refuse_non_disk_image(format, head.bytes(), raw_without_partition_table); !disk) return disk;
  return refuse_cut_short(read_disk_layout(head.bytes()), image_bytes);
}

}  // namespace wh
