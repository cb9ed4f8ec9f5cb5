// The copy of an image onto a raw drive: the writes, the flush, and what
// they come to. The checks before it and the readback after it are
// write_image's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "frame/context.h"
#include "frame/errors.h"
#include "image/image_format.h"
#include "image/write_map.h"
#include "platform/platform.h"

namespace wh {

// `bytes` padded to whole sectors of `sector` bytes (a power of two).
inline std::uint64_t whole_sectors(std::uint64_t bytes, std::uint32_t sector) {
  return (bytes + sector - 1) / sector * sector;
}

// What a copy came to.
struct Copied {
  std::uint64_t written = 0;
  std::uint64_t skipped = 0;    // image bytes a sparse write left out
  std::uint64_t speed_bps = 0;  // over the whole copy and flush, at least one second
  std::string sha256;           // of the whole image
  std::string written_sha256;   // of the bytes written, in order (sparse)
};

// One copy: one image onto one drive, with its progress lines.
class ImageCopy {
 public:
  ImageCopy(const CommandContext& context, std::string_view task_id, std::string_view device_path,
            std::optional<std::uint64_t> bytes_total)
      : context_(context), task_id_(task_id), bytes_total_(bytes_total),
        message_("Writing image to " + std::string(device_path)) {}

  // Image to drive, every write but the image's last one a whole 4 MiB, then
  // FlushFileBuffers. The image is streamed (decoded from `format`, when
  // given, and cut at `limit`): its next chunks are read while this one is
  // written. The speed covers that reading from its first byte. The disk
  // driver takes whole sectors of the disk's own size (`sector`) only, so a
  // last chunk that ends inside one goes out with zeros to its end; the
  // count, the digest and the readback cover the image's bytes alone.
  // A stream that outgrows the disk (a decoded image of no announced size)
  // stops at its end. The drive handle is closed on return, whatever happens.
  //
  // With `map` (a sparse write), only the chunks of its extents go to the
  // drive, each run of them after one seek; every chunk is still read and
  // hashed, so that the image's digest is the whole image's and an image
  // that is not the one the map was made from fails the write. Events count
  // the image's bytes dealt with, written or skipped.
  HelperResult<Copied> run(HandlePtr source, std::optional<ImageFormat> format, std::uint64_t limit, HandlePtr drive,
                           std::uint64_t disk_bytes, std::uint32_t sector, const WriteMap* map);

 private:
  void emit(std::string_view stage, Instant now, std::string_view message);

  const CommandContext& context_;
  std::string_view task_id_;
  std::optional<std::uint64_t> bytes_total_;
  std::string message_;
  std::uint64_t processed_ = 0;  // image bytes dealt with, written or (sparse) skipped
  std::optional<std::uint64_t> write_reported_;  // the count of the last WRITE line
  Instant start_{0};
};

}  // namespace wh
