// libFuzzer target for the format-neutral decode (gzip, bzip2, raw, and the
// refusals): any bytes must end in success or XZ_INVALID, never a crash or a
// hang; the decoded bytes must not depend on how the input arrives (the same
// file read in small odd pieces and read whole); a raw image is its own bytes.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "image/image_decode.h"
#include "memory_file.h"

namespace {

// The file decoded as its first bytes say; nullopt when it is refused.
std::optional<std::string> decode(const std::uint8_t* data, std::size_t size, std::size_t chunk,
                                  wh::ImageFormat& format) {
  fuzzing::MemoryFile file(data, size, chunk);
  auto probed = wh::probe_format(file);
  if (!probed) std::abort();  // a memory file always reads
  format = *probed;
  std::string decoded;
  auto result = wh::decode_image(file, format, nullptr, [&decoded](std::span<const std::uint8_t> piece) -> wh::SinkStatus {
    decoded.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    // Output far beyond any input here is a bomb, not a bug.
    if (decoded.size() > (64u << 20)) return wh::Err(std::string("too large"));
    return {};
  });
  if (!result.ok() && result.error().code != wh::ErrorCode::kXzInvalid) std::abort();
  if (!result.ok()) return std::nullopt;
  return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t chunk = fuzzing::take_chunk_size(data, size);
  wh::ImageFormat format{}, again{};
  const auto small = decode(data, size, chunk, format);
  // XZ has its own target, with its own oracle.
  if (format == wh::ImageFormat::kXz) return 0;
  const auto whole = decode(data, size, 1u << 20, again);
  if (again != format || small.has_value() != whole.has_value()) std::abort();
  if (small && *small != *whole) std::abort();
  if (format == wh::ImageFormat::kRaw && (!small || *small != std::string(reinterpret_cast<const char*>(data), size))) {
    std::abort();
  }
  return 0;
}
