// A half-open run of bytes of an image or a disk.
#pragma once

#include <cstdint>

namespace wh {

// [start, end), in bytes.
struct ByteRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool contains(std::uint64_t offset) const { return start <= offset && offset < end; }
  std::uint64_t length() const { return end - start; }
  bool operator==(const ByteRange&) const = default;
};

}  // namespace wh
