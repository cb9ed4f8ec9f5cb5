// An image's bytes in 4 MiB chunks, read (and decoded, for a compressed
// image) on a thread of its own while the caller writes or compares the chunk
// before: the card never waits for the image, and a streamed write needs no
// prepared file. Only that thread touches the image's handle until the
// stream is destroyed.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "frame/errors.h"
#include "image/image_format.h"
#include "platform/platform.h"
#include "raw/chunk_buffer.h"

namespace wh {

class ImageStream;

// One chunk handed out: the stream's buffer, lent until the lease is
// destroyed. The caller may write past `bytes()` inside `room()` (to pad the
// last chunk to a whole sector), never inside a chunk it no longer holds.
class ChunkLease {
 public:
  ChunkLease() = default;
  ChunkLease(ChunkLease&& other) noexcept { *this = std::move(other); }
  ChunkLease& operator=(ChunkLease&& other) noexcept;
  ~ChunkLease() { give_back(); }

  std::span<std::uint8_t> bytes() const { return room_.first(size_); }
  std::span<std::uint8_t> room() const { return room_; }
  // True at the end of the image: no bytes, no buffer.
  bool empty() const { return size_ == 0; }

 private:
  friend class ImageStream;
  ChunkLease(ImageStream* owner, int slot, std::span<std::uint8_t> room, std::size_t size)
      : owner_(owner), slot_(slot), room_(room), size_(size) {}
  void give_back();

  ImageStream* owner_ = nullptr;
  int slot_ = -1;
  std::span<std::uint8_t> room_;
  std::size_t size_ = 0;
};

class ImageStream {
 public:
  // `image` is open at byte 0. With `format`, its bytes are decoded as
  // decode_image decodes that format; without, they are handed out as they
  // are. At most `limit` bytes are handed out. A failed read of an image
  // handed out as it is fails with `read_failure`; decoding fails as
  // decode_image does (XZ_INVALID). Reading starts at once.
  ImageStream(HandlePtr image, std::optional<ImageFormat> format, std::uint64_t limit, ErrorCode read_failure);
  // Stops the reading thread and waits for it. Every lease must be gone.
  ~ImageStream();
  ImageStream(const ImageStream&) = delete;
  ImageStream& operator=(const ImageStream&) = delete;

  // The next chunk, in order: kChunkSize bytes, fewer only for the last one;
  // an empty lease at the end. A failure is reported in its place after the
  // chunks before it, and again by every later call.
  HelperResult<ChunkLease> next();

 private:
  friend class ChunkLease;
  // Four buffers: one being filled, two written or compared and hashed by
  // the caller, one ready ahead.
  static constexpr int kSlots = 4;

  struct Ready {
    int slot = -1;  // -1: the end, or `error`
    std::size_t size = 0;
    std::optional<HelperError> error;
  };

  void produce();
  HelperStatus copy_raw();
  HelperStatus decode();
  // Waits for a free buffer; nullopt once the stream is being destroyed.
  std::optional<int> acquire();
  void publish(Ready ready);
  void recycle(int slot);

  HandlePtr image_;
  std::optional<ImageFormat> format_;
  std::uint64_t limit_;
  ErrorCode read_failure_;
  std::uint64_t produced_ = 0;  // the reading thread's own

  std::array<ChunkBuffer, kSlots> buffers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> free_;
  std::deque<Ready> ready_;
  bool stopping_ = false;
  bool finished_ = false;  // the end or a failure was handed out
  std::optional<HelperError> failure_;  // the failure handed out
  std::thread reader_;     // last: started once everything above exists
};

// The format `image` must be decoded from for a stream with `decode`, or
// nullopt when its bytes go out as they are (no `decode`, or a raw image).
// `image` is back at byte 0. XZ_INVALID when it cannot be read, and for a
// format this build cannot decode: callers ask before any drive is touched.
HelperResult<std::optional<ImageFormat>> stream_format(Handle& image, bool decode);

// Opens `image_path` for a stream, each failure under the code the command
// reports for it: IMAGE_MISSING when it cannot be opened, then as
// stream_format.
HelperResult<std::unique_ptr<ImageStream>> open_image_stream(Platform& platform, const std::string& image_path,
                                                             bool decode, std::uint64_t limit,
                                                             ErrorCode read_failure);

}  // namespace wh
