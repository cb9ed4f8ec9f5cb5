#include "xz_samples.h"

#include <stdexcept>
#include <vector>

#include <lzma.h>
#include <openssl/evp.h>

namespace wh::testing {
namespace {

std::string encode(lzma_stream& stream, const std::string& data) {
  std::string out(lzma_stream_buffer_bound(data.size()) + 4096, '\0');
  stream.next_in = reinterpret_cast<const std::uint8_t*>(data.data());
  stream.avail_in = data.size();
  stream.next_out = reinterpret_cast<std::uint8_t*>(out.data());
  stream.avail_out = out.size();
  lzma_ret code = LZMA_OK;
  while (code == LZMA_OK) code = lzma_code(&stream, LZMA_FINISH);
  lzma_end(&stream);
  if (code != LZMA_STREAM_END) throw std::runtime_error("xz encoding failed");
  out.resize(stream.total_out);
  return out;
}

std::uint32_t read_le32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
  return value;
}

}  // namespace

std::string xz_single_block(const std::string& data) {
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_easy_encoder(&stream, 1, LZMA_CHECK_CRC64) != LZMA_OK) throw std::runtime_error("encoder");
  return encode(stream, data);
}

std::string xz_multi_block(const std::string& data, std::size_t block_bytes) {
  lzma_mt options{};
  options.threads = 2;
  options.block_size = block_bytes;
  options.preset = 1;
  options.check = LZMA_CHECK_CRC64;
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_stream_encoder_mt(&stream, &options) != LZMA_OK) throw std::runtime_error("encoder");
  return encode(stream, data);
}

std::string with_corrupt_check(std::string xz) {
  // The footer's Backward Size gives the index's length; the last block's
  // check ends right before the index.
  const std::size_t footer = xz.size() - 12;
  const std::size_t index_bytes = (static_cast<std::size_t>(read_le32(xz, footer + 4)) + 1) * 4;
  xz[footer - index_bytes - 1] ^= 0x01;
  return xz;
}

std::string varied_bytes(std::size_t size, std::uint32_t seed) {
  std::string data(size, '\0');
  std::uint32_t state = seed;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    // Few distinct values in runs: compressible, but never zero.
    data[i] = static_cast<char>(1 + ((state >> 24) % 16));
  }
  return data;
}

std::string sha256_hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0x0F];
  }
  return text;
}

}  // namespace wh::testing
