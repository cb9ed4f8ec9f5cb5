#include "raw/image_copy.h"

#include <algorithm>
#include <chrono>

#include "frame/progress.h"
#include "raw/background_hash.h"
#include "raw/drive_reader.h"
#include "raw/image_stream.h"
#include "raw/sparse_request.h"

namespace wh {
namespace {

constexpr std::chrono::milliseconds kEventInterval{500};

}  // namespace

static_assert(kChunkSize == kWriteUnit, "a sparse write decides chunk by chunk");

HelperResult<Copied> ImageCopy::run(HandlePtr source, std::optional<ImageFormat> format, std::uint64_t limit,
                                    HandlePtr drive, std::uint64_t disk_bytes, std::uint32_t sector,
                                    const WriteMap* map) {
  Platform& platform = context_.platform;
  start_ = platform.now();
  Instant last_event = start_;
  // One byte past the map's image, so that a longer one shows.
  if (map != nullptr) limit = map->image_bytes + 1;
  ImageStream image(std::move(source), format, limit, ErrorCode::kWriteFailed);
  std::optional<ExtentWalk> extents;
  if (map != nullptr) extents.emplace(map->extents);
  std::uint64_t drive_at = 0;
  std::uint64_t written = 0;
  // The chunk being hashed goes back to the stream once the next one is
  // handed to the hasher; declared after the stream and before the hasher,
  // so the hasher is done with it before it is given back, and it is given
  // back before the stream goes.
  ChunkLease hashing;
  BackgroundHash digest;
  while (true) {
    auto chunk = image.next();
    if (!chunk) return Err(std::move(chunk).error());
    if (chunk->empty()) break;
    const std::size_t got = chunk->bytes().size();
    const std::size_t padded = static_cast<std::size_t>(whole_sectors(got, sector));
    if (processed_ + padded > disk_bytes) {
      return fail(ErrorCode::kWriteFailed,
                  "The image does not fit the target disk: it holds more than " + std::to_string(processed_ + got) +
                      " bytes and the disk holds " + std::to_string(disk_bytes) +
                      " bytes; the write stopped at byte " + std::to_string(processed_) + ".");
    }
    const bool write = !extents || extents->written(processed_);
    digest.add(chunk->bytes(), write && map != nullptr);
    hashing = std::move(*chunk);
    if (write) {
      std::fill(hashing.room().begin() + static_cast<std::ptrdiff_t>(got),
                hashing.room().begin() + static_cast<std::ptrdiff_t>(padded), std::uint8_t{0});
      if (drive_at != processed_) {
        if (auto sought = drive->seek(processed_); !sought) return fail(ErrorCode::kWriteFailed, sought.error());
      }
      if (auto put = write_full(*drive, hashing.room().first(padded)); !put) {
        return fail(ErrorCode::kWriteFailed, std::move(put).error());
      }
      drive_at = processed_ + padded;
      written += got;
    }
    processed_ += got;
    const Instant now = platform.now();
    if (now - last_event >= kEventInterval) {
      emit("WRITE", now, message_);
      last_event = now;
    }
  }
  const Instant copied_at = platform.now();
  // The closing WRITE line, unless the last one already said 100%.
  if (write_reported_ != processed_) emit("WRITE", copied_at, message_);
  emit("FINALIZE", copied_at, "Flushing disk buffers");
  if (auto flushed = drive->flush(); !flushed) return fail(ErrorCode::kWriteFailed, flushed.error());
  // The image brings its own partition table; without this Windows keeps
  // the card's old one cached, and customization could meet the old layout.
  if (auto announced = drive->update_disk_properties(); !announced) {
    return fail(ErrorCode::kWriteFailed, announced.error());
  }
  drive.reset();
  Copied copied;
  copied.written = map != nullptr ? written : processed_;
  copied.skipped = processed_ - copied.written;
  copied.speed_bps = bytes_per_second(copied.written, platform.now() - start_, 1.0);
  emit_progress(context_, task_id_, "FINALIZE", processed_, bytes_total_.value_or(0), copied.speed_bps,
                "Disk buffers flushed");
  copied.sha256 = digest.finish_hex();
  copied.written_sha256 = digest.finish_second_hex();
  if (map != nullptr && (processed_ != map->image_bytes || (!map->sha256.empty() && copied.sha256 != map->sha256))) {
    return fail(ErrorCode::kWriteFailed,
                "The image is not the one its write map was made from: it decoded to " + std::to_string(processed_) +
                    " bytes of SHA-256 " + copied.sha256 + ", the map's image has " +
                    std::to_string(map->image_bytes) + " bytes of SHA-256 " + map->sha256 +
                    "; the card was written from it and does not hold the image the map describes.");
  }
  return copied;
}

void ImageCopy::emit(std::string_view stage, Instant now, std::string_view message) {
  emit_progress(context_, task_id_, stage, processed_, bytes_total_.value_or(0),
                bytes_per_second(processed_, now - start_, 0.001), message);
  if (stage == "WRITE") write_reported_ = processed_;
}

}  // namespace wh
