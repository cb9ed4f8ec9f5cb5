// The write map of a sparse write: which 4 MiB units of an image go to the
// card. A unit is skipped only when every byte of it lies in space that a
// file system of the image marks free (image_usage.h); all others are
// written whole, so that each write is one large aligned transfer and small
// runs of free space inside a unit are written through.
//
// Its JSON form, as image_uncompressed_size returns it and write_image and
// classify_mismatch take it back:
//
//   {"imageBytes": n, "sha256": "<the decoded image's digest>", "unitBytes": 4194304,
//    "extents": [[offset, length], ...], "bytesWritten": n, "bytesSkipped": n,
//    "table": "MBR", "partitions": [{"number", "offset", "bytes", "fileSystem", "freeBytes", "writtenWhole"}]}
//
// Taken back, only imageBytes, sha256 and extents count: the extents must be
// in order, apart, inside the image and on the unit grid (a last one may end
// at the image's end).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame/errors.h"
#include "image/image_usage.h"

namespace wh {

inline constexpr std::uint64_t kWriteUnit = 4 * 1024 * 1024;

struct WriteMap {
  std::uint64_t image_bytes = 0;
  std::string sha256;  // "" when not known yet
  std::vector<ByteRange> extents;
  nlohmann::json found = nlohmann::json::object();  // "table" and "partitions", for the caller to read

  std::uint64_t bytes_written() const;
  std::uint64_t bytes_skipped() const { return image_bytes - bytes_written(); }
};

// The map of an image of `image_bytes` bytes whose scan is `usage`.
WriteMap make_write_map(const ImageUsage& usage, std::uint64_t image_bytes, std::string sha256);

// Every byte written: one extent over the whole image.
WriteMap whole_write_map(std::uint64_t image_bytes, std::string sha256);

nlohmann::json write_map_json(const WriteMap& map);

// The map of a request's `writeMap` member; UNKNOWN "Invalid writeMap: …"
// when it breaks a rule above.
HelperResult<WriteMap> read_write_map(const nlohmann::json& value);

// Walks a map's extents along ascending offsets.
class ExtentWalk {
 public:
  explicit ExtentWalk(const std::vector<ByteRange>& extents) : extents_(extents) {}
  // Whether the byte at `offset` is written; offsets must not go backwards.
  bool written(std::uint64_t offset);

 private:
  const std::vector<ByteRange>& extents_;
  std::size_t next_ = 0;
};

}  // namespace wh
