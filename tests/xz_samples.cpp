#include "xz_samples.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include <bzlib.h>
#include <lzma.h>
#include <openssl/evp.h>
#include <zlib.h>
#include <zstd.h>
#include <zip.h>

#include <algorithm>

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

std::string with_huge_dictionary(std::string xz) {
  // The block header follows the 12-byte stream header: its size byte, the
  // flags (no sizes from a single-threaded encoder), then the one filter's
  // ID 0x21, property size 1 and the dictionary byte; CRC32 last.
  constexpr std::size_t kHeader = 12;
  const std::size_t header_bytes = (static_cast<std::uint8_t>(xz[kHeader]) + 1) * 4;
  if (xz[kHeader + 1] != 0 || xz[kHeader + 2] != 0x21 || xz[kHeader + 3] != 0x01) {
    throw std::runtime_error("unexpected block header");
  }
  xz[kHeader + 4] = 40;
  const std::size_t crc_at = kHeader + header_bytes - 4;
  const std::uint32_t crc = lzma_crc32(reinterpret_cast<const std::uint8_t*>(xz.data() + kHeader), header_bytes - 4, 0);
  for (int i = 0; i < 4; ++i) xz[crc_at + i] = static_cast<char>(crc >> (8 * i));
  return xz;
}

std::vector<ConcatenatedSample> concatenated_samples() {
  constexpr std::size_t kKiB = 1024;
  constexpr std::size_t kMiB = 1024 * kKiB;
  const auto padding = [](std::size_t bytes) { return std::string(bytes, '\0'); };
  const std::string a = varied_bytes(kMiB + 3, 11);
  const std::string b = varied_bytes(700 * kKiB, 12);
  const std::string zeros(2 * kMiB + 1, '\0');
  // Starts and ends in zeros, so that skipped runs meet the stream joins.
  const std::string c = std::string(300 * kKiB, '\0') + varied_bytes(600 * kKiB, 13) +
                        std::string(kMiB, '\0');
  const std::string two = xz_single_block(a) + padding(4) + xz_single_block(b);
  const std::string corrupt_data = "xz error: compressed data is corrupt";
  return {
      {"two streams, padding between", two, a + b, ""},
      {"three streams of many blocks, padding between and after",
       xz_multi_block(a, 256 * kKiB) + padding(8) + xz_single_block(zeros) +
           xz_multi_block(c, 256 * kKiB) + padding(12),
       a + zeros + c, ""},
      {"an empty stream between two", xz_single_block(b) + xz_single_block("") + xz_single_block(a),
       b + a, ""},
      {"garbage after the last stream", two + "not an xz stream", std::nullopt, corrupt_data},
      {"padding that is not whole groups of four", two + padding(6), std::nullopt, corrupt_data},
      {"a stream followed by a truncated one",
       xz_single_block(a) + xz_multi_block(b, 256 * kKiB).substr(0, 40 * kKiB), std::nullopt,
       "xz error: unexpected end of input"},
      {"a second stream that fails its check", xz_single_block(a) + with_corrupt_check(xz_single_block(b)),
       std::nullopt, corrupt_data},
  };
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

std::string disk_image(std::string data, std::uint64_t partition_end) {
  std::fill(data.begin() + 446, data.begin() + 510, '\0');
  if (partition_end != 0) {
    const auto sectors = static_cast<std::uint32_t>(partition_end / 512 - 1);
    data[446 + 4] = 0x0C;
    for (int i = 0; i < 4; ++i) data[446 + 8 + i] = static_cast<char>(i == 0 ? 1 : 0);
    for (int i = 0; i < 4; ++i) data[446 + 12 + i] = static_cast<char>(sectors >> (8 * i));
  }
  data[510] = 0x55;
  data[511] = static_cast<char>(0xAA);
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

std::string gzip_member(const std::string& data) {
  z_stream stream{};
  // 15 + 16: the gzip wrapper around a deflate stream with the largest window.
  if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

std::string bzip2_stream(const std::string& data) {
  unsigned int size = static_cast<unsigned int>(data.size() + data.size() / 100 + 600);
  std::string out(size, '\0');
  if (BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()),
                               static_cast<unsigned int>(data.size()), /*blockSize100k=*/9, /*verbosity=*/0,
                               /*workFactor=*/0) != BZ_OK) {
    throw std::runtime_error("BZ2_bzBuffToBuffCompress failed");
  }
  out.resize(size);
  return out;
}

std::string zip_archive(const std::vector<ZipEntry>& files, bool stored, const char* password) {
  // Written into memory through minizip's file functions.
  struct Memory {
    std::string bytes;
    std::uint64_t at = 0;
  } memory;
  zlib_filefunc64_def io{};
  io.opaque = &memory;
  io.zopen64_file = [](voidpf opaque, const void*, int) -> voidpf { return opaque; };
  io.zwrite_file = [](voidpf opaque, voidpf, const void* data, uLong size) -> uLong {
    auto& m = *static_cast<Memory*>(opaque);
    if (m.bytes.size() < m.at + size) m.bytes.resize(m.at + size);
    std::copy_n(static_cast<const char*>(data), size, m.bytes.begin() + static_cast<std::ptrdiff_t>(m.at));
    m.at += size;
    return size;
  };
  io.zread_file = [](voidpf, voidpf, void*, uLong) -> uLong { return 0; };
  io.ztell64_file = [](voidpf opaque, voidpf) -> ZPOS64_T { return static_cast<Memory*>(opaque)->at; };
  io.zseek64_file = [](voidpf opaque, voidpf, ZPOS64_T offset, int origin) -> long {
    auto& m = *static_cast<Memory*>(opaque);
    m.at = (origin == ZLIB_FILEFUNC_SEEK_CUR ? m.at : origin == ZLIB_FILEFUNC_SEEK_END ? m.bytes.size() : 0) + offset;
    return 0;
  };
  io.zclose_file = [](voidpf, voidpf) -> int { return 0; };
  io.zerror_file = [](voidpf, voidpf) -> int { return 0; };
  zipFile zip = zipOpen2_64("sample.zip", APPEND_STATUS_CREATE, nullptr, &io);
  if (zip == nullptr) throw std::runtime_error("zipOpen2_64 failed");
  for (const ZipEntry& file : files) {
    const zip_fileinfo info{};
    const auto crc = crc32(0, reinterpret_cast<const Bytef*>(file.data.data()), static_cast<uInt>(file.data.size()));
    if (zipOpenNewFileInZip3_64(zip, file.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                stored ? 0 : Z_DEFLATED, stored ? 0 : 6, /*raw=*/0, -MAX_WBITS, DEF_MEM_LEVEL,
                                Z_DEFAULT_STRATEGY, password, crc, /*zip64=*/0) != ZIP_OK ||
        zipWriteInFileInZip(zip, file.data.data(), static_cast<unsigned>(file.data.size())) != ZIP_OK ||
        zipCloseFileInZip(zip) != ZIP_OK) {
      throw std::runtime_error("writing " + file.name + " into the zip failed");
    }
  }
  if (zipClose(zip, nullptr) != ZIP_OK) throw std::runtime_error("zipClose failed");
  return memory.bytes;
}

std::string zstd_frame(const std::string& data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  const std::size_t size = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), /*compressionLevel=*/3);
  if (ZSTD_isError(size)) throw std::runtime_error("ZSTD_compress failed");
  out.resize(size);
  return out;
}

}  // namespace wh::testing
