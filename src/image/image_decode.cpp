#include "image/image_decode.h"

#include "image/zip_decode.h"

#include <bzlib.h>
#include <zlib.h>
#include <zstd.h>

#include <array>
#include <memory>
#include <vector>

namespace wh {
namespace {

Err<HelperError> invalid(std::string message) { return fail(ErrorCode::kXzInvalid, std::move(message)); }

// The compressed file, read in large blocks on the calling thread, every
// byte through the digest when there is one.
class Input {
 public:
  Input(Handle& source, Sha256* digest) : source_(source), digest_(digest), buffer_(kReadBytes) {}

  // The bytes read and not yet taken; refills when none are left. Empty at
  // the end of the file.
  HelperResult<std::span<std::uint8_t>> available() {
    if (start_ == end_ && !ended_) {
      start_ = end_ = 0;
      if (auto read = read_more(); !read) return Err(std::move(read).error());
    }
    return std::span(buffer_).subspan(start_, end_ - start_);
  }
  void take(std::size_t count) { start_ += count; }

  // At least `count` bytes available (fewer only at the end of the file).
  HelperResult<std::span<std::uint8_t>> peek(std::size_t count) {
    auto bytes = available();
    if (!bytes || bytes->size() >= count || ended_) return bytes;
    // Move what is left to the front and read on behind it.
    std::copy(buffer_.begin() + start_, buffer_.begin() + end_, buffer_.begin());
    end_ -= start_;
    start_ = 0;
    while (end_ < count && !ended_) {
      if (auto read = read_more(); !read) return Err(std::move(read).error());
    }
    return std::span(buffer_).subspan(start_, end_ - start_);
  }

  // Reads to the end, for the digest: what is ignored is still part of the file.
  HelperStatus drain() {
    while (true) {
      take(end_ - start_);
      auto bytes = available();
      if (!bytes) return Err(std::move(bytes).error());
      if (bytes->empty()) return {};
    }
  }

 private:
  static constexpr std::size_t kReadBytes = 1u << 20;

  // One read into the free end of the buffer, through the digest; a read of
  // nothing is the end of the file.
  HelperStatus read_more() {
    while (true) {
      auto got = source_.read(std::span(buffer_).subspan(end_));
      if (!got) {
        if (got.error().interrupted) continue;
        return invalid("io error: " + got.error().text());
      }
      if (*got == 0) ended_ = true;
      if (digest_ != nullptr) digest_->update(std::span(buffer_).subspan(end_, *got));
      end_ += *got;
      return {};
    }
  }

  Handle& source_;
  Sha256* digest_;
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0, end_ = 0;
  bool ended_ = false;
};

// Decoded bytes gathered into whole pieces for the sink.
class Output {
 public:
  explicit Output(const PieceSink& sink) : sink_(sink), piece_(kDecodedPieceBytes) {}
  std::span<std::uint8_t> room() { return std::span(piece_).subspan(used_); }
  HelperStatus filled(std::size_t count) {
    used_ += count;
    return used_ == piece_.size() ? flush() : HelperStatus{};
  }
  HelperStatus flush() {
    if (used_ == 0) return {};
    auto taken = sink_(std::span(piece_).first(used_));
    used_ = 0;
    if (!taken) return invalid("io error: " + taken.error());
    return {};
  }

 private:
  const PieceSink& sink_;
  std::vector<std::uint8_t> piece_;
  std::size_t used_ = 0;
};

HelperStatus copy_raw(Input& input, Output& output) {
  while (true) {
    auto bytes = input.available();
    if (!bytes) return Err(std::move(bytes).error());
    if (bytes->empty()) return output.flush();
    const std::size_t count = std::min(bytes->size(), output.room().size());
    std::copy_n(bytes->begin(), count, output.room().begin());
    input.take(count);
    if (auto done = output.filled(count); !done) return done;
  }
}

// Every gzip member in turn, as gzip -dc.
HelperStatus inflate_gzip(Input& input, Output& output) {
  z_stream stream{};
  // 15 + 16: the gzip wrapper alone, with the largest window.
  if (inflateInit2(&stream, 15 + 16) != Z_OK) return invalid("gzip error: cannot start the decoder");
  const std::unique_ptr<z_stream, int (*)(z_stream*)> ended(&stream, inflateEnd);
  while (true) {
    // At the end of the file the decoder still gets a turn, with no input,
    // for what it holds back.
    auto bytes = input.available();
    if (!bytes) return Err(std::move(bytes).error());
    stream.next_in = bytes->data();
    stream.avail_in = static_cast<uInt>(bytes->size());
    const std::span<std::uint8_t> room = output.room();
    stream.next_out = room.data();
    stream.avail_out = static_cast<uInt>(room.size());
    const int status = inflate(&stream, Z_NO_FLUSH);
    const std::size_t produced = room.size() - stream.avail_out;
    input.take(bytes->size() - stream.avail_in);
    if (auto done = output.filled(produced); !done) return done;
    if (bytes->empty() && produced == 0 && status != Z_STREAM_END) {
      return invalid("gzip error: unexpected end of file");
    }
    if (status == Z_STREAM_END) {
      auto next = input.peek(2);
      if (!next) return Err(std::move(next).error());
      // The end, or trailing garbage gzip ignores too.
      if (detect_format(*next) != ImageFormat::kGzip) return output.flush();
      inflateReset(&stream);
      continue;
    }
    if (status == Z_BUF_ERROR) continue;  // no progress this round: more input or room comes next
    if (status != Z_OK) {
      return invalid(std::string("gzip error: ") + (stream.msg != nullptr ? stream.msg : "invalid compressed data"));
    }
  }
}

std::string bzip2_text(int status) {
  switch (status) {
    case BZ_DATA_ERROR: return "bzip2 error: data integrity (CRC) error in data";
    case BZ_DATA_ERROR_MAGIC: return "bzip2 error: bad magic number (file not created by bzip2)";
    case BZ_MEM_ERROR: return "bzip2 error: cannot allocate memory";
    default: return "bzip2 error: unexpected result " + std::to_string(status);
  }
}

// Every bzip2 stream in turn, as bzip2 -dc.
HelperStatus decompress_bzip2(Input& input, Output& output) {
  while (true) {
    bz_stream stream{};
    if (BZ2_bzDecompressInit(&stream, /*verbosity=*/0, /*small=*/0) != BZ_OK) {
      return invalid("bzip2 error: cannot start the decoder");
    }
    const std::unique_ptr<bz_stream, int (*)(bz_stream*)> ended(&stream, BZ2_bzDecompressEnd);
    int status = BZ_OK;
    while (status == BZ_OK) {
      auto bytes = input.available();
      if (!bytes) return Err(std::move(bytes).error());
      stream.next_in = reinterpret_cast<char*>(bytes->data());
      stream.avail_in = static_cast<unsigned>(bytes->size());
      const std::span<std::uint8_t> room = output.room();
      stream.next_out = reinterpret_cast<char*>(room.data());
      stream.avail_out = static_cast<unsigned>(room.size());
      status = BZ2_bzDecompress(&stream);
      const std::size_t produced = room.size() - stream.avail_out;
      input.take(bytes->size() - stream.avail_in);
      if (auto done = output.filled(produced); !done) return done;
      if (bytes->empty() && produced == 0 && status == BZ_OK) {
        return invalid("bzip2 error: compressed file ends unexpectedly");
      }
    }
    if (status != BZ_STREAM_END) return invalid(bzip2_text(status));
    auto next = input.peek(4);
    if (!next) return Err(std::move(next).error());
    // The end, or trailing garbage bzip2 ignores too.
    if (detect_format(*next) != ImageFormat::kBzip2) return output.flush();
  }
}

// Every zstd frame in turn, skippable frames skipped, as zstd -dc: libzstd
// goes on to the next frame by itself, and refuses anything else after one.
HelperStatus decompress_zstd(Input& input, Output& output) {
  const std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx*)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
  if (!context) return invalid("zstd error: cannot start the decoder");
  // 0 once a frame is complete and flushed, until the next one begins.
  std::size_t pending = 1;
  while (true) {
    auto bytes = input.available();
    if (!bytes) return Err(std::move(bytes).error());
    ZSTD_inBuffer in{bytes->data(), bytes->size(), 0};
    const std::span<std::uint8_t> room = output.room();
    ZSTD_outBuffer out{room.data(), room.size(), 0};
    const std::size_t result = ZSTD_decompressStream(context.get(), &out, &in);
    if (ZSTD_isError(result)) return invalid(std::string("zstd error: ") + ZSTD_getErrorName(result));
    input.take(in.pos);
    if (auto done = output.filled(out.pos); !done) return done;
    if (in.pos != 0 || out.pos != 0) {
      pending = result;
    } else if (bytes->empty()) {
      // The end of the file: whole if it came between frames.
      if (pending != 0) return invalid("zstd error: unexpected end of file");
      return output.flush();
    }
  }
}

}  // namespace

HelperResult<ImageFormat> probe_format(Handle& source) {
  std::array<std::uint8_t, kFormatProbeBytes> head{};
  std::size_t got = 0;
  while (got < head.size()) {
    auto read = source.read(std::span(head).subspan(got));
    if (!read) {
      if (read.error().interrupted) continue;
      return invalid("io error: " + read.error().text());
    }
    if (*read == 0) break;
    got += *read;
  }
  if (auto back = source.seek(0); !back) return invalid("io error: " + back.error().text());
  return detect_format(std::span(head).first(got));
}

HelperStatus check_decodable(ImageFormat format) {
  const auto refused = [](const char* what) { return invalid(std::string("Unsupported image format: ") + what); };
  switch (format) {
    case ImageFormat::kSevenZip: return refused("7z archive");
    case ImageFormat::kRar: return refused("rar archive");
    default: return {};
  }
}

HelperStatus decode_image(Handle& source, ImageFormat format, Sha256* source_digest, const PieceSink& sink) {
  if (auto decodable = check_decodable(format); !decodable) return decodable;
  if (format == ImageFormat::kXz) return decode_xz(source, source_digest, sink);
  if (format == ImageFormat::kZip) return decode_zip(source, source_digest, sink);
  Input input(source, source_digest);
  Output output(sink);
  HelperStatus decoded = format == ImageFormat::kGzip    ? inflate_gzip(input, output)
                         : format == ImageFormat::kBzip2 ? decompress_bzip2(input, output)
                         : format == ImageFormat::kZstd  ? decompress_zstd(input, output)
                                                         : copy_raw(input, output);
  if (!decoded) return decoded;
  return source_digest != nullptr ? input.drain() : HelperStatus{};
}

}  // namespace wh
