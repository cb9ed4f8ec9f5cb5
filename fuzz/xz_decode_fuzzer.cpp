// libFuzzer target for the threaded XZ decode: any bytes must end in success
// or XZ_INVALID, never a crash, a hang or a lost piece, and a success must
// deliver exactly what a plain single-threaded decode of the same bytes does.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <lzma.h>

#include "image/xz_decode.h"
#include "memory_file.h"

namespace {

// liblzma's plain decoder over the same bytes, every stream of them as
// `xz -dc` takes them: the reference.
bool reference_decode(const std::uint8_t* data, std::size_t size, std::string& out) {
  lzma_stream stream = LZMA_STREAM_INIT;
  const std::uint32_t flags = LZMA_TELL_UNSUPPORTED_CHECK | LZMA_CONCATENATED;
  if (lzma_stream_decoder(&stream, UINT64_MAX, flags) != LZMA_OK) std::abort();
  stream.next_in = data;
  stream.avail_in = size;
  std::uint8_t buffer[65536];
  lzma_ret code = LZMA_OK;
  while (code == LZMA_OK) {
    stream.next_out = buffer;
    stream.avail_out = sizeof buffer;
    code = lzma_code(&stream, LZMA_FINISH);
    out.append(reinterpret_cast<const char*>(buffer), sizeof buffer - stream.avail_out);
    // Decoded output far beyond any input here is a bomb, not a bug.
    if (out.size() > (64u << 20)) break;
  }
  lzma_end(&stream);
  return code == LZMA_STREAM_END;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t chunk = fuzzing::take_chunk_size(data, size);

  std::string expected;
  const bool valid = reference_decode(data, size, expected);
  if (expected.size() > (64u << 20)) return 0;

  fuzzing::MemoryFile file(data, size, chunk);
  std::string decoded;
  auto result = wh::decode_xz(file, nullptr, [&decoded](std::span<const std::uint8_t> piece) -> wh::SinkStatus {
    decoded.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    return {};
  });
  if (result.ok() != valid) std::abort();
  if (!result.ok() && result.error().code != wh::ErrorCode::kXzInvalid) std::abort();
  if (result.ok() && decoded != expected) std::abort();
  return 0;
}
