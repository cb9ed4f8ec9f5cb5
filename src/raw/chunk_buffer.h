// The 4 MiB buffers that drive and image transfers go through.
#pragma once

#include <cstddef>

#include "platform/aligned_buffer.h"

namespace wh {

// 4 MiB: the unit of every image read, drive write and drive read.
inline constexpr std::size_t kChunkSize = 4 * 1024 * 1024;

class ChunkBuffer : public AlignedBuffer {
 public:
  ChunkBuffer() : AlignedBuffer(kChunkSize) {}
};

}  // namespace wh
