// The 4 MiB buffers that drive and image transfers go through, page-aligned:
// the kernel copies a read into a buffer that starts 16 bytes past a page
// (where the general-purpose allocator puts large blocks) several times more
// slowly, and some drivers require aligned buffers outright.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

namespace wh {

// 4 MiB: the unit of every image read, drive write and drive read.
inline constexpr std::size_t kChunkSize = 4 * 1024 * 1024;

// Not zero-filled: every user hashes, compares or writes only the bytes a
// read has just put there.
class ChunkBuffer {
 public:
  ChunkBuffer() : bytes_(static_cast<std::uint8_t*>(::operator new(kChunkSize, kAlignment))) {}

  std::span<std::uint8_t> span() { return {bytes_.get(), kChunkSize}; }
  std::uint8_t* data() { return bytes_.get(); }

 private:
  static constexpr std::align_val_t kAlignment{4096};
  struct Free {
    void operator()(std::uint8_t* bytes) const { ::operator delete(bytes, kAlignment); }
  };
  std::unique_ptr<std::uint8_t, Free> bytes_;
};

}  // namespace wh
