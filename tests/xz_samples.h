// XZ files made in the test, with liblzma's own encoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wh::testing {

// One stream, one block, CRC64 (what `xz -T1` writes).
std::string xz_single_block(const std::string& data);
// One stream cut into blocks of `block_bytes` (what `xz -T0` writes).
std::string xz_multi_block(const std::string& data, std::size_t block_bytes);
// The same bytes with one bit of the last block's integrity check flipped.
std::string with_corrupt_check(std::string xz);
// An `xz_single_block` file whose block header asks for a dictionary of
// 4 GiB (LZMA2 property byte 40), its CRC32 made right again: valid, but a
// decoder that obeys it takes gigabytes of memory.
std::string with_huge_dictionary(std::string xz);

// Files of several streams one after another, as `cat a.xz b.xz` makes,
// with what `xz -dc` makes of each: the decoded bytes, or no bytes and the
// helper's failure message.
struct ConcatenatedSample {
  std::string name;
  std::string xz;
  std::optional<std::string> decoded;
  std::string error;
};
std::vector<ConcatenatedSample> concatenated_samples();

// One gzip member (zlib's deflate with the gzip wrapper) and one bzip2
// stream (libbz2), as `gzip -c` and `bzip2 -c` write them.
std::string gzip_member(const std::string& data);
std::string bzip2_stream(const std::string& data);
// One zstd frame (libzstd), as `zstd -c` writes it.
std::string zstd_frame(const std::string& data);

// A zip archive (minizip) of `files`, each a name and its bytes, deflated
// (or stored with `stored`), encrypted with `password` when it is given.
// Names ending in "/" are folder entries.
struct ZipEntry {
  std::string name;
  std::string data;
};
std::string zip_archive(const std::vector<ZipEntry>& files, bool stored = false, const char* password = nullptr);

// Deterministic bytes that compress a little, like code in a disk image.
std::string varied_bytes(std::size_t size, std::uint32_t seed = 1);
// `data` (512 bytes or more) made a disk image: its first sector an MBR with
// the boot signature and, with `partition_end`, one partition from sector 1
// to that byte (else none).
std::string disk_image(std::string data, std::uint64_t partition_end = 0);
// The SHA-256 of `data` in hex, computed apart from the helper's own code.
std::string sha256_hex(const std::string& data);

}  // namespace wh::testing
