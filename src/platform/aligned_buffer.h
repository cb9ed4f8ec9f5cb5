// Memory for raw transfers. Raw drive handles are not cached: the device
// reads into and writes from the caller's memory directly, and refuses (87)
// a buffer that misses its alignment, so whatever reads or writes a drive
// uses these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

namespace wh {

// Page-aligned heap memory: a page is a multiple of every sector size a
// disk reports, and the kernel copies a read into a buffer that starts 16
// bytes past a page (where the general-purpose allocator puts large blocks)
// several times more slowly. Not a stack array with alignas: MinGW's GCC does
// not realign the stack reliably. Not zero-filled: every user hashes,
// compares or writes only the bytes a read has just put there.
class AlignedBuffer {
 public:
  explicit AlignedBuffer(std::size_t size)
      : size_(size), bytes_(static_cast<std::uint8_t*>(::operator new(size == 0 ? 1 : size, kAlignment))) {}

  std::span<std::uint8_t> span() { return {bytes_.get(), size_}; }
  std::uint8_t* data() { return bytes_.get(); }
  std::size_t size() const { return size_; }

 private:
  std::size_t size_;
  static constexpr std::align_val_t kAlignment{4096};
  struct Free {
    void operator()(std::uint8_t* bytes) const { ::operator delete(bytes, kAlignment); }
  };
  std::unique_ptr<std::uint8_t, Free> bytes_;
};

}  // namespace wh
