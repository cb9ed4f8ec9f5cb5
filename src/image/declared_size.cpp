#include "image/declared_size.h"

#include <lzma.h>

#include <memory>
#include <vector>

#include "image/xz_decode.h"
#include "image/zip_decode.h"

namespace wh {
namespace {

Err<HelperError> invalid(std::string message) { return fail(ErrorCode::kXzInvalid, std::move(message)); }

// An index this large would describe millions of blocks: no disk image.
constexpr std::uint64_t kIndexMemoryLimit = 256ull << 20;
constexpr std::size_t kReadBytes = 64 * 1024;

// liblzma's file-info decoder reads the stream headers, footers and indexes
// of every stream of the file (with its padding), asking to seek between
// them; the blocks themselves are never read.
HelperResult<std::uint64_t> xz_index_size(Handle& source, std::uint64_t file_size) {
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_index* index = nullptr;
  const std::unique_ptr<lzma_stream, void (*)(lzma_stream*)> ended(&stream, lzma_end);
  if (lzma_ret started = lzma_file_info_decoder(&stream, &index, kIndexMemoryLimit, file_size); started != LZMA_OK) {
    return invalid(describe_xz_result(started));
  }
  std::vector<std::uint8_t> buffer(kReadBytes);
  while (true) {
    if (stream.avail_in == 0) {
      auto got = source.read(buffer);
      if (!got) {
        if (got.error().interrupted) continue;
        return invalid("io error: " + got.error().text());
      }
      stream.next_in = buffer.data();
      stream.avail_in = *got;
    }
    const lzma_ret status = lzma_code(&stream, stream.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
    if (status == LZMA_OK) continue;
    if (status == LZMA_SEEK_NEEDED) {
      if (auto sought = source.seek(stream.seek_pos); !sought) return invalid("io error: " + sought.error().text());
      stream.avail_in = 0;
      continue;
    }
    if (status == LZMA_STREAM_END) {
      const std::uint64_t size = lzma_index_uncompressed_size(index);
      lzma_index_end(index, nullptr);
      return size;
    }
    // The index sits at the end of the file: a download cut short has none.
    if (status == LZMA_DATA_ERROR || status == LZMA_BUF_ERROR) {
      return invalid("xz error: the file's index cannot be read from its end: the file is cut short or damaged");
    }
    return invalid(describe_xz_result(status));
  }
}

}  // namespace

HelperResult<std::optional<std::uint64_t>> declared_size(Handle& source, ImageFormat format) {
  std::optional<std::uint64_t> size;
  if (format == ImageFormat::kRaw || format == ImageFormat::kXz) {
    auto length = source.file_size();
    if (!length) return invalid("io error: " + length.error().text());
    size = *length;
    if (format == ImageFormat::kXz) {
      auto indexed = xz_index_size(source, *length);
      if (!indexed) return Err(std::move(indexed).error());
      size = *indexed;
    }
  } else if (format == ImageFormat::kZip) {
    auto entry = zip_image_size(source);
    if (!entry) return Err(std::move(entry).error());
    size = *entry;
  }
  if (auto back = source.seek(0); !back) return invalid("io error: " + back.error().text());
  return size;
}

}  // namespace wh
