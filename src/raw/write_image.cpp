#include "raw/write_image.h"

#include <algorithm>
#include <optional>

#include "frame/payload_fields.h"
#include "frame/progress.h"
#include "frame/stage_progress.h"
#include "image/disk_image_check.h"
#include "image/output_target.h"
#include "raw/background_hash.h"
#include "raw/drive_reader.h"
#include "raw/image_stream.h"
#include "raw/mismatch.h"
#include "raw/raw_readback.h"
#include "target/volume_locks.h"

namespace wh {

using nlohmann::json;

namespace {

constexpr std::chrono::milliseconds kEventInterval{500};
constexpr std::uint32_t kRecheckDelayMs = 250;
// The smallest logical sector a disk has: what an image needs at least,
// known before the drive is opened.
constexpr std::uint32_t kMinSectorBytes = 512;

// `bytes` padded to whole sectors of `sector` bytes (a power of two).
std::uint64_t whole_sectors(std::uint64_t bytes, std::uint32_t sector) {
  return (bytes + sector - 1) / sector * sector;
}

HelperError does_not_fit(std::uint64_t needed, std::uint64_t disk_bytes) {
  return {ErrorCode::kWriteFailed, "The image does not fit the target disk: writing it takes " +
                                       std::to_string(needed) + " bytes and the disk holds " +
                                       std::to_string(disk_bytes) + " bytes; nothing was written."};
}

struct Copied {
  std::uint64_t written = 0;
  std::uint64_t speed_bps = 0;  // over the whole copy and flush, at least one second
  std::string sha256;
};

class ImageCopy {
 public:
  ImageCopy(const CommandContext& context, std::string_view task_id, std::string_view device_path,
            std::optional<std::uint64_t> bytes_total)
      : context_(context), task_id_(task_id), bytes_total_(bytes_total),
        message_("Writing image to " + std::string(device_path)) {}

  // Image to drive, every write but the image's last one a whole 4 MiB, then
  // FlushFileBuffers. The image is streamed (decoded from `format`, when
  // given, and cut at `limit`): its next chunks are read while this one is
  // written. The speed covers that reading from its first byte. The disk
  // driver takes whole sectors of the disk's own size (`sector`) only, so a
  // last chunk that ends inside one goes out with zeros to its end; the
  // count, the digest and the readback cover the image's bytes alone.
  // A stream that outgrows the disk (a decoded image of no announced size)
  // stops at its end. The drive handle is closed on return, whatever happens.
  HelperResult<Copied> run(HandlePtr source, std::optional<ImageFormat> format, std::uint64_t limit, HandlePtr drive,
                           std::uint64_t disk_bytes, std::uint32_t sector) {
    Platform& platform = context_.platform;
    start_ = platform.now();
    Instant last_event = start_;
    ImageStream image(std::move(source), format, limit, ErrorCode::kWriteFailed);
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
      if (written_ + padded > disk_bytes) {
        return fail(ErrorCode::kWriteFailed,
                    "The image does not fit the target disk: it holds more than " + std::to_string(written_ + got) +
                        " bytes and the disk holds " + std::to_string(disk_bytes) +
                        " bytes; the write stopped at byte " + std::to_string(written_) + ".");
      }
      digest.add(chunk->bytes());
      hashing = std::move(*chunk);
      std::fill(hashing.room().begin() + static_cast<std::ptrdiff_t>(got),
                hashing.room().begin() + static_cast<std::ptrdiff_t>(padded), std::uint8_t{0});
      if (auto put = write_full(*drive, hashing.room().first(padded)); !put) {
        return fail(ErrorCode::kWriteFailed, std::move(put).error());
      }
      written_ += got;
      const Instant now = platform.now();
      if (now - last_event >= kEventInterval) {
        emit("WRITE", now, message_);
        last_event = now;
      }
    }
    const Instant copied_at = platform.now();
    // The closing WRITE line, unless the last one already said 100%.
    if (write_reported_ != written_) emit("WRITE", copied_at, message_);
    emit("FINALIZE", copied_at, "Flushing disk buffers");
    if (auto flushed = drive->flush(); !flushed) return fail(ErrorCode::kWriteFailed, flushed.error());
    // The image brings its own partition table; without this Windows keeps
    // the card's old one cached, and customization could meet the old layout.
    if (auto announced = drive->update_disk_properties(); !announced) {
      return fail(ErrorCode::kWriteFailed, announced.error());
    }
    drive.reset();
    Copied copied;
    copied.written = written_;
    copied.speed_bps = bytes_per_second(written_, platform.now() - start_, 1.0);
    emit_progress(context_, task_id_, "FINALIZE", written_, bytes_total_.value_or(0), copied.speed_bps,
                  "Disk buffers flushed");
    copied.sha256 = digest.finish_hex();
    return copied;
  }

 private:
  void emit(std::string_view stage, Instant now, std::string_view message) {
    emit_progress(context_, task_id_, stage, written_, bytes_total_.value_or(0),
                  bytes_per_second(written_, now - start_, 0.001), message);
    if (stage == "WRITE") write_reported_ = written_;
  }

  const CommandContext& context_;
  std::string_view task_id_;
  std::optional<std::uint64_t> bytes_total_;
  std::string message_;
  std::uint64_t written_ = 0;
  std::optional<std::uint64_t> write_reported_;  // the count of the last WRITE line
  Instant start_{0};
};

json failure_json(const HelperError& error) {
  return json{{"errorCode", std::string(error_code_name(error.code))}, {"errorMessage", error.message}};
}

// A raw image is read as the copy reads it: a read that fails while it is
// examined is the copy's failure, before anything was written.
HelperError examination_failure(HelperError error, bool decoded) {
  constexpr std::string_view kIo = "io error: ";
  if (!decoded && error.message.starts_with(kIo)) {
    error = {ErrorCode::kWriteFailed, "Reading the image failed: " + error.message.substr(kIo.size())};
  }
  return nothing_written(std::move(error));
}

bool matches(const ReadbackResult& pass, const std::string& source_sha256, std::uint64_t verify_bytes) {
  return pass.sha256 == source_sha256 && pass.bytes_read >= verify_bytes;
}

}  // namespace

HelperResult<json> handle_write_image(CommandContext& context) {
  const json& payload = context.request.payload;
  Platform& platform = context.platform;
  auto image_path = required_text(payload, "imagePath");
  if (!image_path) return Err(std::move(image_path).error());
  auto device_path = resolve_target_path(payload);
  if (!device_path) return Err(std::move(device_path).error());
  const std::string task_id = text_or(payload, "taskId", "unknown");
  if (auto source = check_image_source(*image_path); !source) return Err(nothing_written(std::move(source).error()));
  if (!platform.file_exists(*image_path)) {
    return Err(nothing_written({ErrorCode::kImageMissing, "Image does not exist: " + *image_path}));
  }
  auto image = platform.open_file_read_as_user(*image_path);
  if (!image) return Err(nothing_written({ErrorCode::kImageMissing, image.error().text()}));
  // With `decompress`, the image is decoded on the way to the card; a format
  // this build cannot decode is refused before anything is touched, and so
  // is what is empty, no disk image, or shorter than its own partitions, as
  // far as its first bytes and declared size tell.
  const bool decompress = optional_flag(payload, "decompress");
  auto format = stream_format(**image, decompress);
  if (!format) return Err(nothing_written(std::move(format).error()));
  auto facts = examine_image(**image, format->value_or(ImageFormat::kRaw),
                             optional_flag(payload, "rawWithoutPartitionTable"));
  if (!facts) return Err(examination_failure(std::move(facts).error(), format->has_value()));
  const auto number = parse_drive_number(*device_path);
  if (!number) {
    return fail(ErrorCode::kDeviceNotRemovable, "Unable to parse physical target identity from " + *device_path +
                                                    "; raw write was not started.");
  }
  // Every failure up to the first write says that nothing was written.
  auto identity = validate_expected_identity(platform, payload, *number, "raw write volume lock");
  if (!identity) return Err(nothing_written(std::move(identity).error()));
  // A write that cannot fit would erase the card and fail at its end; the
  // proven capacity says so before anything is touched. A compressed image
  // is as large as its announced `bytesTotal`, else as its format declares
  // (an XZ index, a zip's central directory); without either, the copy
  // itself stops at the disk's end.
  auto image_size = (*image)->file_size();
  if (!image_size) return Err(nothing_written({ErrorCode::kImageMissing, image_size.error().text()}));
  const std::optional<std::uint64_t> bytes_total = optional_count(payload, "bytesTotal");
  if (*format && !facts->size && bytes_total) {
    // A size no format declares: the announced one is believed.
    if (auto whole = refuse_cut_short(facts->layout, *bytes_total); !whole) {
      return Err(nothing_written(std::move(whole).error()));
    }
  }
  const std::uint64_t announced = *format ? bytes_total.value_or(facts->size.value_or(0))
                                          : std::min(*image_size, bytes_total.value_or(UINT64_MAX));
  if (const std::uint64_t needed = whole_sectors(announced, kMinSectorBytes); needed > identity->size_bytes) {
    return Err(does_not_fit(needed, identity->size_bytes));
  }
  auto locks = acquire_volume_locks(platform, *identity);
  if (!locks) return Err(nothing_written({ErrorCode::kUnmountFailed, std::move(locks).error()}));

  auto drive = platform.open_drive_exclusive_write(raw_target_path(*identity));
  if (!drive) return Err(nothing_written(map_open_error(drive.error())));
  if (auto proven = revalidate_raw_handle(**drive, *identity, "raw write"); !proven) {
    return Err(nothing_written(std::move(proven).error()));
  }
  // The disk's own sector size pads the last write: a disk of 4096-byte
  // sectors could hold the image in 512-byte ones and still not take it.
  auto sector = (*drive)->logical_sector_bytes();
  if (!sector) return Err(nothing_written({ErrorCode::kDeviceDisconnected, sector.error().text()}));
  if (const std::uint64_t needed = whole_sectors(announced, *sector); needed > identity->size_bytes) {
    return Err(does_not_fit(needed, identity->size_bytes));
  }
  auto copied = ImageCopy(context, task_id, *device_path, bytes_total)
                    .run(std::move(*image), *format, bytes_total.value_or(UINT64_MAX), std::move(*drive),
                         identity->size_bytes, *sector);
  if (!copied) return Err(std::move(copied).error());
  // A decoded size known only now: an image that ended by itself before its
  // own partitions do leaves a card that will not boot.
  if (!facts->size && copied->written < bytes_total.value_or(UINT64_MAX)) {
    if (auto whole = refuse_cut_short(facts->layout, copied->written); !whole) {
      return fail(ErrorCode::kXzInvalid, whole.error().message + "; the card holds its first " +
                                             std::to_string(copied->written) + " bytes and will not boot.");
    }
  }

  json result = {{"bytesWritten", copied->written},
                 {"speedBps", copied->speed_bps},
                 {"sourceSha256", copied->sha256},
                 {"verifiedBeforeFinalize", true}};
  if (optional_flag(payload, "skipReadback")) {
    result["skippedReadback"] = true;
    locks->release();
    return result;
  }

  const std::uint64_t verify_bytes = bytes_total.value_or(copied->written);
  const ReadbackProgress progress{context, task_id};
  auto pass = raw_readback(platform, *identity, verify_bytes, &progress,
                           "Verifying written bytes from a fresh Windows disk handle");
  if (!pass) return Err(std::move(pass).error());
  json first_observed = nullptr;
  json mismatch = nullptr;
  json readback_class = nullptr;
  int attempts = 1;
  if (!matches(*pass, copied->sha256, verify_bytes)) {
    first_observed = pass->sha256;
    platform.sleep_ms(kRecheckDelayMs);
    pass = raw_readback(platform, *identity, verify_bytes, &progress,
                        "Rechecking written bytes from a fresh Windows disk handle");
    if (!pass) return Err(std::move(pass).error());
    attempts = 2;
    if (!matches(*pass, copied->sha256, verify_bytes)) {
      auto inspected = inspect_mismatch(platform, *image_path, decompress, *identity, verify_bytes);
      mismatch = inspected ? std::move(*inspected) : failure_json(inspected.error());
      // The verdict on the difference, by classify_mismatch's rule, so the
      // application needs no second process that reads the card again.
      StageProgress comparing(context, task_id, "VERIFY", verify_bytes, "Comparing the target with the image");
      auto judged = classify_readback(platform, *image_path, decompress, *identity, verify_bytes, &comparing);
      readback_class = judged ? std::move(*judged) : failure_json(judged.error());
    }
  }
  result["observedSha256"] = pass->sha256;
  result["verifiedBytes"] = pass->bytes_read;
  result["verifySpeedBps"] = pass->speed_bps;
  result["verifyAttempts"] = attempts;
  result["firstObservedSha256"] = std::move(first_observed);
  result["mismatch"] = std::move(mismatch);
  result["readbackClass"] = std::move(readback_class);
  locks->release();
  return result;
}

}  // namespace wh
