// The free-space scan of an image that is decoded as a stream, which cannot
// go back: the bytes the scan needs (the partition table, each file
// system's boot sector or superblock, group descriptors, bitmaps, the first
// FAT) are captured as they stream past, and the scan is repeated each time
// a wanted piece is complete; its reads of bytes still ahead note them as
// wanted. What is wanted only after it has passed (beyond a short look-back)
// cannot be had, and the file system it belongs to is written whole. At the
// stream's end, one last scan over what was captured gives the answer.
//
// Memory: the captured 4 KiB pages, at most `memory_cap` bytes; a file
// system whose metadata would need more is written whole.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "image/image_usage.h"

namespace wh {

class UsageCapture {
 public:
  explicit UsageCapture(std::uint64_t memory_cap = std::uint64_t{64} << 20);
  UsageCapture(const UsageCapture&) = delete;
  UsageCapture& operator=(const UsageCapture&) = delete;

  // The next decoded bytes, in order.
  void add(std::span<const std::uint8_t> piece);
  // The scan of the whole stream, once it has ended.
  ImageUsage finish();

  std::uint64_t size() const { return position_; }

 private:
  static constexpr std::uint64_t kPage = 4096;
  static constexpr std::uint64_t kLookBack = 64 * 1024;

  struct Page {
    std::unique_ptr<std::uint8_t[]> bytes{new std::uint8_t[kPage]};
    std::uint64_t filled = 0;  // bytes from the page's start, in order
  };

  class Captured : public ImageBytes {
   public:
    explicit Captured(UsageCapture& owner) : owner_(owner) {}
    Availability read(std::uint64_t offset, std::span<std::uint8_t> buffer) override;
    std::optional<std::uint64_t> size() const override;

   private:
    UsageCapture& owner_;
  };

  // Fills `page` from the bytes still at hand: the look-back and the piece
  // being added. True when it is complete.
  bool fill(std::uint64_t index, Page& page);
  bool complete(std::uint64_t index, const Page& page) const;
  void scan();

  std::uint64_t memory_cap_;
  std::map<std::uint64_t, Page> pages_;  // by index: the wanted ones
  std::uint64_t position_ = 0;           // bytes streamed before the piece being added
  std::vector<std::uint8_t> look_back_;  // the bytes just before position_
  std::span<const std::uint8_t> piece_;  // the piece being added
  bool finished_ = false;
  bool scan_due_ = true;
  ImageUsage last_;
  Captured reader_{*this};
};

}  // namespace wh
