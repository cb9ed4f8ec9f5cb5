#include "image/image_bytes.h"

namespace wh {

Availability FileImageBytes::read(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  if (offset > size_ || buffer.size() > size_ - offset) return Availability::kNever;
  if (!file_.seek(offset)) return Availability::kNever;
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    auto got = file_.read(buffer.subspan(filled));
    if (!got && got.error().interrupted) continue;
    if (!got || *got == 0) return Availability::kNever;
    filled += *got;
  }
  return Availability::kRead;
}

}  // namespace wh
