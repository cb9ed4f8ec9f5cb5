#include "raw/write_image.h"

#include <algorithm>
#include <optional>

#include "frame/payload_fields.h"
#include "frame/progress.h"
#include "frame/stage_progress.h"
#include "image/disk_image_check.h"
#include "image/output_target.h"
#include "raw/image_copy.h"
#include "raw/image_stream.h"
#include "raw/mismatch.h"
#include "raw/raw_readback.h"
#include "raw/sparse_request.h"
#include "target/volume_locks.h"

namespace wh {

using nlohmann::json;

namespace {

constexpr std::uint32_t kRecheckDelayMs = 250;
// The smallest logical sector a disk has: what an image needs at least,
// known before the drive is opened.
constexpr std::uint32_t kMinSectorBytes = 512;

HelperError does_not_fit(std::uint64_t needed, std::uint64_t disk_bytes) {
  return {ErrorCode::kWriteFailed, "The image does not fit the target disk: writing it takes " +
                                       std::to_string(needed) + " bytes and the disk holds " +
                                       std::to_string(disk_bytes) + " bytes; nothing was written."};
}

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
  // A sparse write's map, taken or made before anything is touched. Its
  // image must be the whole image: no bytesTotal that cuts it.
  auto map = requested_write_map(payload, **image, format->has_value(),
                                 *format ? (bytes_total ? bytes_total : facts->size)
                                         : std::optional<std::uint64_t>(*image_size));
  if (!map) return Err(nothing_written(std::move(map).error()));
  if (*map && bytes_total && *bytes_total != (*map)->image_bytes) {
    return Err(nothing_written({ErrorCode::kUnknown, "A sparse write takes the whole image: bytesTotal " +
                                                         std::to_string(*bytes_total) + " is not its length " +
                                                         std::to_string((*map)->image_bytes)}));
  }
  // With a map, the image's length is known whatever was announced.
  const std::optional<std::uint64_t> told = *map ? std::optional<std::uint64_t>((*map)->image_bytes) : bytes_total;
  if (*format && !facts->size && told) {
    // A size no format declares: the announced one is believed.
    if (auto whole = refuse_cut_short(facts->layout, *told); !whole) {
      return Err(nothing_written(std::move(whole).error()));
    }
  }
  const std::uint64_t image_bytes = *format ? told.value_or(facts->size.value_or(0))
                                            : std::min(*image_size, told.value_or(UINT64_MAX));
  if (const std::uint64_t needed = whole_sectors(image_bytes, kMinSectorBytes); needed > identity->size_bytes) {
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
  if (const std::uint64_t needed = whole_sectors(image_bytes, *sector); needed > identity->size_bytes) {
    return Err(does_not_fit(needed, identity->size_bytes));
  }
  auto copied = ImageCopy(context, task_id, *device_path, bytes_total)
                    .run(std::move(*image), *format, bytes_total.value_or(UINT64_MAX), std::move(*drive),
                         identity->size_bytes, *sector, *map ? &**map : nullptr);
  if (!copied) return Err(std::move(copied).error());
  // A decoded size known only now: an image that ended by itself before its
  // own partitions do leaves a card that will not boot.
  // (A sparse write's image is as long as its map, checked above.)
  if (!*map && !facts->size && copied->written < bytes_total.value_or(UINT64_MAX)) {
    if (auto whole = refuse_cut_short(facts->layout, copied->written); !whole) {
      return fail(ErrorCode::kXzInvalid, whole.error().message + "; the card holds its first " +
                                             std::to_string(copied->written) + " bytes and will not boot.");
    }
  }

  json result = {{"bytesWritten", copied->written},
                 {"speedBps", copied->speed_bps},
                 {"sourceSha256", copied->sha256},
                 {"verifiedBeforeFinalize", true}};
  // A sparse write is proven over what it wrote: the expected digest is that
  // of the written extents, read back in the same order.
  std::string expected = copied->sha256;
  if (*map) {
    (*map)->sha256 = copied->sha256;
    expected = copied->written_sha256;
    result["sparse"] = true;
    result["bytesSkipped"] = copied->skipped;
    result["writtenSha256"] = expected;
    result["writeMap"] = write_map_json(**map);
  }
  if (optional_flag(payload, "skipReadback")) {
    result["skippedReadback"] = true;
    locks->release();
    return result;
  }

  const std::uint64_t verify_bytes = *map ? copied->written : bytes_total.value_or(copied->written);
  const std::vector<ByteRange> verified = *map ? (*map)->extents : std::vector<ByteRange>{{0, verify_bytes}};
  const ReadbackProgress progress{context, task_id};
  auto pass = raw_readback_extents(platform, *identity, verified, &progress,
                                   "Verifying written bytes from a fresh Windows disk handle");
  if (!pass) return Err(std::move(pass).error());
  json first_observed = nullptr;
  json mismatch = nullptr;
  json readback_class = nullptr;
  int attempts = 1;
  if (!matches(*pass, expected, verify_bytes)) {
    first_observed = pass->sha256;
    platform.sleep_ms(kRecheckDelayMs);
    pass = raw_readback_extents(platform, *identity, verified, &progress,
                                "Rechecking written bytes from a fresh Windows disk handle");
    if (!pass) return Err(std::move(pass).error());
    attempts = 2;
    if (!matches(*pass, expected, verify_bytes)) {
      auto inspected = inspect_mismatch(platform, *image_path, decompress, *identity, verified);
      mismatch = inspected ? std::move(*inspected) : failure_json(inspected.error());
      // The verdict on the difference, by classify_mismatch's rule, so the
      // application needs no second process that reads the card again.
      StageProgress comparing(context, task_id, "VERIFY", verify_bytes, "Comparing the target with the image");
      auto judged = classify_readback(platform, *image_path, decompress, *identity, verified, &comparing);
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
