// Random access to an image's bytes for the scan that finds its free space:
// a prepared image read where asked, or a streamed one of which only the
// bytes captured on their way past can be given (usage_capture.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/byte_range.h"
#include "platform/platform.h"

namespace wh {

enum class Availability {
  kRead,   // the bytes are in the buffer
  kLater,  // a stream has not reached them yet; they are noted as wanted
  kNever,  // they cannot be had: past the image's end, streamed past, or a failed read
};

class ImageBytes {
 public:
  virtual ~ImageBytes() = default;
  // All of `buffer` from byte `offset` of the decoded image.
  virtual Availability read(std::uint64_t offset, std::span<std::uint8_t> buffer) = 0;
  // The image's length, once it is known.
  virtual std::optional<std::uint64_t> size() const = 0;
};

// What a scan of one partition's file system found.
struct FileSystemUsage {
  std::string file_system;      // "FAT32", "ext4", ...; "" when none was recognized
  std::vector<ByteRange> free;  // the bytes it marks free, as offsets in the image, in order
  std::string whole_reason;     // why every byte is written; "" when the free bytes may be skipped
  bool waiting = false;         // it needs bytes that a stream has not reached yet
};

// A prepared image, read through its file handle at any offset.
class FileImageBytes final : public ImageBytes {
 public:
  FileImageBytes(Handle& file, std::uint64_t size) : file_(file), size_(size) {}
  Availability read(std::uint64_t offset, std::span<std::uint8_t> buffer) override;
  std::optional<std::uint64_t> size() const override { return size_; }

 private:
  Handle& file_;
  std::uint64_t size_;
};

}  // namespace wh
