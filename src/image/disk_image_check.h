// The checks that stop what is no sound disk image before any byte of it is
// written, to a card or to the prepared image: an image that is empty, one
// that is no disk image at all (an HTML page saved under an image's name, an
// archive, a file compressed twice), and one that ends before its own
// partitions do (a download cut short). All are XZ_INVALID.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "frame/errors.h"
#include "image/disk_layout.h"
#include "image/image_format.h"
#include "platform/platform.h"

namespace wh {

// The first kImageHeadBytes of the bytes an image decodes to, gathered
// piece by piece.
class ImageHead {
 public:
  void take(std::span<const std::uint8_t> piece);
  std::span<const std::uint8_t> bytes() const { return bytes_; }
  bool full() const { return bytes_.size() == kImageHeadBytes; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// What the checks found.
struct ImageFacts {
  ImageFormat format = ImageFormat::kRaw;  // of the file itself
  DiskLayout layout;                       // of the bytes it decodes to
  // The decoded size, where the format declares it (declared_size.h).
  std::optional<std::uint64_t> size;
};

// Every check that can be made before `source` is decoded for real: its
// declared size (an XZ index that cannot be read, and the zip refusals, are
// refused here), then its first kImageHeadBytes decoded as `format` (damage
// there is refused too), then the refusals below as far as they are known.
// With `raw_without_partition_table`, bytes that are no disk image but no
// known kind of file either are taken as they are. `source` is back at
// byte 0.
HelperResult<ImageFacts> examine_image(Handle& source, ImageFormat format, bool raw_without_partition_table);

// The refusals, for callers that gather the head and count the bytes while
// they decode: an empty image ("The image is empty: …"); bytes that are no
// disk image, named when their kind is known ("Unsupported image format:
// lz4 file", "Not a disk image: the gzip file holds an xz file …"); a table
// whose partition ends past `image_bytes` ("The image is cut short: …").
HelperStatus refuse_empty(ImageFormat format, std::uint64_t image_bytes);
HelperStatus refuse_non_disk_image(ImageFormat format, std::span<const std::uint8_t> head,
                                   bool raw_without_partition_table);
HelperStatus refuse_cut_short(const DiskLayout& layout, std::uint64_t image_bytes);

// All three on a whole decode: its head and its size.
HelperStatus check_decoded_image(ImageFormat format, const ImageHead& head, std::uint64_t image_bytes,
                                 bool raw_without_partition_table);

}  // namespace wh
