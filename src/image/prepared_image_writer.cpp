#include "image/prepared_image_writer.h"

#include <chrono>
#include <cstring>
#include <limits>

#include "frame/progress.h"

namespace wh {
namespace {

constexpr std::string_view kTaskId = "image-prep";
constexpr std::string_view kStage = "PREPARE";
constexpr std::string_view kMessage = "Writing prepared image to cache";
constexpr Instant kEventInterval = std::chrono::milliseconds(500);

// Byte 0 is zero and every byte equals the one before it: one memcmp, which
// the C library runs at memory speed.
bool all_zero(std::span<const std::uint8_t> bytes) {
  return bytes.empty() ||
         (bytes[0] == 0 && std::memcmp(bytes.data(), bytes.data() + 1, bytes.size() - 1) == 0);
}

}  // namespace

PreparedImageWriter::PreparedImageWriter(const CommandContext& context, Handle& file,
                                         std::uint64_t bytes_total)
    : context_(context), file_(file), bytes_total_(bytes_total) {}

void PreparedImageWriter::start() {
  start_ = context_.platform.now();
  emit_progress(context_, kTaskId, kStage, 0, bytes_total_, 0, kMessage);
  last_event_ = context_.platform.now();
}

SinkStatus PreparedImageWriter::accept(std::span<const std::uint8_t> piece) {
  digest_.update(piece);
  if (piece.size() > std::numeric_limits<std::uint64_t>::max() - bytes_written_) {
    return Err(std::string("prepared image is too large"));
  }
  const std::uint64_t new_total = bytes_written_ + piece.size();
  if (!all_zero(piece)) {
    // Catch up with the zero pieces skipped since the last write.
    if (file_position_ != bytes_written_) {
      if (auto moved = file_.seek(bytes_written_); !moved) return Err(moved.error().text());
    }
    if (auto written = write_all(piece); !written) return written;
    file_position_ = new_total;
  }
  bytes_written_ = new_total;
  if (context_.platform.now() - last_event_ >= kEventInterval) {
    report();
    last_event_ = context_.platform.now();
  }
  return {};
}

HelperResult<std::string> PreparedImageWriter::finish() {
  report();
  // Trailing zero pieces were skipped; this gives the file its full length.
  if (auto sized = file_.set_end_of_file(bytes_written_); !sized) {
    return fail(ErrorCode::kXzInvalid, sized.error());
  }
  if (auto flushed = file_.flush(); !flushed) return fail(ErrorCode::kXzInvalid, flushed.error());
  return digest_.finish_hex();
}

void PreparedImageWriter::report() {
  const std::uint64_t speed = bytes_per_second(bytes_written_, context_.platform.now() - start_, 0.001);
  emit_progress(context_, kTaskId, kStage, bytes_written_, bytes_total_, speed, kMessage);
}

SinkStatus PreparedImageWriter::write_all(std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    auto put = file_.write(data);
    if (!put) {
      if (put.error().interrupted) continue;
      return Err(put.error().text());
    }
    // Files take what they are given; one that takes nothing would loop forever.
    if (*put == 0) return Err(std::string("the output file accepted no bytes"));
    data = data.subspan(*put);
  }
  return {};
}

}  // namespace wh
