#include "raw/mismatch.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "frame/payload_fields.h"
#include "image/output_target.h"
#include "image/sha256.h"
#include "raw/drive_reader.h"
#include "raw/fat_metadata.h"
#include "raw/image_stream.h"
#include "raw/raw_readback.h"
#include "target/volume_locks.h"

namespace wh {

using nlohmann::json;

namespace {

constexpr std::size_t kSampleBytes = 32;
constexpr std::string_view kClassifyStep = "readback mismatch classification";
constexpr const char* kShortRead = "failed to fill whole buffer";

// Up to 32 bytes from `at` of a side that holds `end` bytes; empty when it
// has none there.
std::string sample(const std::uint8_t* bytes, std::size_t end, std::size_t at) {
  if (at >= end) return "";
  return lower_hex(std::span(bytes + at, std::min(end, at + kSampleBytes) - at));
}

// Index of the first differing byte of two equally long runs, or `size`.
std::size_t first_difference(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
  if (std::memcmp(a, b, size) == 0) return size;
  return static_cast<std::size_t>(std::mismatch(a, a + size, b).first - a);
}

// Both sides of a comparison: the image as a stream of chunks from byte 0,
// decoded with `decode`, and the drive positioned at byte 0.
struct Sides {
  std::unique_ptr<ImageStream> image;
  RawDrive drive;
  std::uint64_t disk_length = 0;

  DriveReader reader() { return DriveReader(*drive.handle, disk_length, drive.sector_bytes); }
};

HelperResult<Sides> open_sides(Platform& platform, const std::string& image_path, bool decode,
                               std::uint64_t byte_count, const TargetIdentity& identity, std::string_view step) {
  Sides sides;
  auto image = open_image_stream(platform, image_path, decode, byte_count, ErrorCode::kImageMissing);
  if (!image) return Err(std::move(image).error());
  sides.image = std::move(*image);
  auto drive = open_raw_for_reading(platform, identity, step);
  if (!drive) return Err(std::move(drive).error());
  sides.drive = std::move(*drive);
  Handle& handle = *sides.drive.handle;
  if (auto sought = handle.seek(0); !sought) return fail(ErrorCode::kDeviceDisconnected, sought.error());
  auto length = handle.disk_length();
  if (!length) return fail(ErrorCode::kDeviceDisconnected, length.error());
  sides.disk_length = *length;
  return sides;
}

// Sector `lba` of a compressed image, decoded from the image's start: the
// FAT ranges need two sectors near the start, never a second full pass.
TextResult<Bytes> decoded_sector(Platform& platform, const std::string& image_path, std::uint64_t lba) {
  const std::uint64_t from = lba * kSectorSize;
  auto stream = open_image_stream(platform, image_path, /*decode=*/true, from + kSectorSize, ErrorCode::kUnknown);
  if (!stream) return Err(std::move(stream).error().message);
  for (std::uint64_t at = 0;;) {
    auto chunk = (*stream)->next();
    if (!chunk) return Err(std::move(chunk).error().message);
    // Chunks are whole sectors up to the stream's limit, which ends the wanted one.
    if (chunk->empty()) return Err(std::string(kShortRead));
    const std::span<const std::uint8_t> bytes = chunk->bytes();
    if (at + bytes.size() >= from + kSectorSize) {
      const auto sector = bytes.subspan(static_cast<std::size_t>(from - at), kSectorSize);
      return Bytes(sector.begin(), sector.end());
    }
    at += bytes.size();
  }
}

json difference(std::uint64_t offset, const std::uint8_t* image, std::size_t image_end,
                const std::uint8_t* drive, std::size_t drive_end, std::size_t at) {
  return json{{"offset", offset + at},
              {"expectedSampleHex", sample(image, image_end, at)},
              {"observedSampleHex", sample(drive, drive_end, at)}};
}

json classification(bool safe, std::string message) { return json{{"safe", safe}, {"message", std::move(message)}}; }

}  // namespace

HelperResult<json> inspect_mismatch(Platform& platform, const std::string& image_path, bool decode,
                                    const TargetIdentity& identity, std::uint64_t byte_count) {
  auto sides = open_sides(platform, image_path, decode, byte_count, identity, "readback mismatch inspection");
  if (!sides) return Err(std::move(sides).error());
  ChunkBuffer drive;
  DriveReader reader = sides->reader();
  for (std::uint64_t offset = 0; offset < byte_count;) {
    auto image = sides->image->next();
    if (!image) return Err(std::move(image).error());
    if (image->empty()) return json{{"offset", offset}, {"expectedSampleHex", ""}, {"observedSampleHex", ""}};
    const std::size_t n = image->bytes().size();
    auto d = reader.read(drive.span().first(n));
    if (!d) return fail(ErrorCode::kDeviceDisconnected, d.error());
    const std::size_t at = first_difference(image->bytes().data(), drive.data(), *d);
    if (at < *d || *d < n) return difference(offset, image->bytes().data(), n, drive.data(), *d, at);
    offset += n;
  }
  return json(nullptr);
}

HelperResult<json> handle_classify_mismatch(CommandContext& context) {
  const json& payload = context.request.payload;
  Platform& platform = context.platform;
  auto image_path = required_text(payload, "imagePath");
  if (!image_path) return Err(std::move(image_path).error());
  auto bytes_total = required_count(payload, "bytesTotal");
  if (!bytes_total) return Err(std::move(bytes_total).error());
  auto path = resolve_target_path(payload);
  if (!path) return Err(std::move(path).error());
  // Before anything is locked or dismounted.
  if (auto source = check_image_source(*image_path); !source) return Err(std::move(source).error());
  auto target = prepare_target(platform, payload, *path, kClassifyStep);
  if (!target) return Err(std::move(target).error());
  StageProgress progress(context, text_or(payload, "taskId", "unknown"), "VERIFY", *bytes_total,
                         "Comparing the target with the image");
  auto result = classify_readback(platform, *image_path, optional_flag(payload, "decompress"), target->identity,
                                  *bytes_total, &progress);
  if (!result) return Err(std::move(result).error());
  target->locks.release();
  return result;
}

HelperResult<json> classify_readback(Platform& platform, const std::string& image_path, bool decode,
                                     const TargetIdentity& identity, std::uint64_t bytes_total,
                                     StageProgress* progress) {
  std::vector<ByteRange> ranges;
  {
    TextResult<std::vector<ByteRange>> found = std::vector<ByteRange>{};
    if (decode) {
      found = known_fat_metadata_ranges(
          [&](std::uint64_t lba) { return decoded_sector(platform, image_path, lba); }, bytes_total);
    } else {
      auto image = platform.open_file_read_as_user(image_path);
      if (!image) return fail(ErrorCode::kUnknown, image.error());
      found = known_fat_metadata_ranges(**image, bytes_total);
    }
    if (!found) return fail(ErrorCode::kUnknown, std::move(found).error());
    ranges = std::move(*found);
  }
  if (ranges.empty()) {
    return classification(false, "Unable to locate known FAT metadata sectors in the prepared image.");
  }

  auto sides = open_sides(platform, image_path, decode, bytes_total, identity, kClassifyStep);
  if (!sides) return Err(std::move(sides).error());
  ChunkBuffer drive;
  DriveReader reader = sides->reader();
  std::uint64_t changed = 0;
  if (progress != nullptr) progress->start();
  for (std::uint64_t offset = 0; offset < bytes_total;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, bytes_total - offset));
    auto chunk = sides->image->next();
    if (!chunk) return Err(std::move(chunk).error());
    if (chunk->bytes().size() < want) return fail(ErrorCode::kImageMissing, kShortRead);
    const std::uint8_t* image = chunk->bytes().data();
    auto d = reader.read(drive.span().first(want));
    if (!d) return fail(ErrorCode::kDeviceDisconnected, d.error());
    if (*d < want) return fail(ErrorCode::kDeviceDisconnected, kShortRead);
    for (std::size_t i = first_difference(image, drive.data(), want); i < want;
         i = i + 1 + first_difference(image + i + 1, drive.data() + i + 1, want - i - 1)) {
      const std::uint64_t p = offset + i;
      const bool known = std::any_of(ranges.begin(), ranges.end(), [p](const ByteRange& r) { return r.contains(p); });
      if (!known) {
        if (progress != nullptr) progress->finish(offset);
        json unsafe = classification(false, "The readback differs outside known FAT metadata sectors at byte offset " +
                                                std::to_string(p) + ".");
        unsafe["firstUnsafeOffset"] = p;
        unsafe["metadataDiffBytes"] = changed;
        return unsafe;
      }
      if (++changed > kMaxMetadataDiffBytes) {
        if (progress != nullptr) progress->finish(offset);
        json too_much = classification(
            false, "The FAT metadata changed too much to classify as a normal Windows mount side effect.");
        too_much["metadataDiffBytes"] = changed;
        return too_much;
      }
    }
    offset += want;
    if (progress != nullptr) progress->advance(offset);
  }
  if (progress != nullptr) progress->finish(bytes_total);
  json safe = classification(true, "Only known FAT metadata sectors changed after the write (" +
                                       std::to_string(changed) + " differing byte" + (changed == 1 ? "" : "s") + ").");
  safe["metadataDiffBytes"] = changed;
  return safe;
}

}  // namespace wh
