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
#include "raw/sparse_request.h"
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
  // An empty side may have no storage at all, and memcmp takes no null.
  if (size == 0 || std::memcmp(a, b, size) == 0) return size;
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

// The image and the drive side by side over `extents` (in order, apart; one
// run from byte 0 unless a sparse write left space out): each span holds the
// image's bytes of one chunk inside one extent and the drive's bytes at the
// same offset, fewer on a side that has ended.
class SpanWalk {
 public:
  struct Span {
    std::uint64_t offset = 0;
    std::size_t wanted = 0;
    std::span<const std::uint8_t> image;
    std::span<const std::uint8_t> drive;
  };

  SpanWalk(Sides& sides, const std::vector<ByteRange>& extents)
      : sides_(sides), extents_(extents), reader_(sides.reader()) {}

  // The next span; nullopt after the last extent.
  HelperResult<std::optional<Span>> next() {
    while (next_ < extents_.size()) {
      const ByteRange& extent = extents_[next_];
      if (chunk_end_ <= std::max(extent.start, position_)) {
        // The image's next chunk: it ends the walk with an empty image side.
        auto chunk = sides_.image->next();
        if (!chunk) return Err(std::move(chunk).error());
        chunk_start_ = chunk_end_;
        if (chunk->empty()) {
          const std::uint64_t at = std::max(extent.start, chunk_start_);
          next_ = extents_.size();
          return std::optional<Span>(Span{at, static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, extent.end - at)), {}, {}});
        }
        chunk_ = std::move(*chunk);
        chunk_end_ = chunk_start_ + chunk_.bytes().size();
        continue;
      }
      const std::uint64_t from = std::max({extent.start, position_, chunk_start_});
      const std::uint64_t to = std::min(extent.end, chunk_end_);
      position_ = to;
      if (to == extent.end) ++next_;
      if (from >= to) continue;
      const auto length = static_cast<std::size_t>(to - from);
      reader_.move_to(from);
      auto got = reader_.read(drive_.span().first(length));
      if (!got) return fail(ErrorCode::kDeviceDisconnected, got.error());
      const auto image = chunk_.bytes().subspan(static_cast<std::size_t>(from - chunk_start_), length);
      return std::optional<Span>(Span{from, length, image, drive_.span().first(*got)});
    }
    return std::optional<Span>();
  }

 private:
  Sides& sides_;
  const std::vector<ByteRange>& extents_;
  DriveReader reader_;
  ChunkBuffer drive_;
  ChunkLease chunk_;
  std::uint64_t chunk_start_ = 0, chunk_end_ = 0, position_ = 0;
  std::size_t next_ = 0;
};

std::uint64_t extents_end(const std::vector<ByteRange>& extents) { return extents.empty() ? 0 : extents.back().end; }

std::uint64_t extents_bytes(const std::vector<ByteRange>& extents) {
  std::uint64_t total = 0;
  for (const ByteRange& extent : extents) total += extent.end - extent.start;
  return total;
}

json classification(bool safe, std::string message) { return json{{"safe", safe}, {"message", std::move(message)}}; }

}  // namespace

HelperResult<json> inspect_mismatch(Platform& platform, const std::string& image_path, bool decode,
                                    const TargetIdentity& identity, const std::vector<ByteRange>& extents) {
  auto sides = open_sides(platform, image_path, decode, extents_end(extents), identity, "readback mismatch inspection");
  if (!sides) return Err(std::move(sides).error());
  SpanWalk walk(*sides, extents);
  while (true) {
    auto span = walk.next();
    if (!span) return Err(std::move(span).error());
    if (!*span) return json(nullptr);
    const auto& [offset, wanted, image, drive] = **span;
    const std::size_t at = first_difference(image.data(), drive.data(), std::min(image.size(), drive.size()));
    if (at < std::min(image.size(), drive.size()) || drive.size() < wanted || image.size() < wanted) {
      return difference(offset, image.data(), image.size(), drive.data(), drive.size(), at);
    }
  }
}

HelperResult<json> inspect_mismatch(Platform& platform, const std::string& image_path, bool decode,
                                    const TargetIdentity& identity, std::uint64_t byte_count) {
  return inspect_mismatch(platform, image_path, decode, identity, {ByteRange{0, byte_count}});
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

  const bool decode = optional_flag(payload, "decompress");
  // A sparse write is judged over what it wrote; the rest of the card keeps
  // its old bytes, which no image describes.
  std::vector<ByteRange> judged{{0, *bytes_total}};
  if (optional_flag(payload, "sparse")) {
    auto image = platform.open_file_read_as_user(*image_path);
    if (!image) return fail(ErrorCode::kImageMissing, image.error());
    auto size = (*image)->file_size();
    if (!size) return fail(ErrorCode::kImageMissing, size.error());
    auto map = requested_write_map(payload, **image, decode, decode ? *bytes_total : std::min(*size, *bytes_total));
    if (!map) return Err(std::move(map).error());
    judged = (*map)->extents;
  }
  StageProgress progress(context, text_or(payload, "taskId", "unknown"), "VERIFY", extents_bytes(judged),
                         "Comparing the target with the image");
  auto result = classify_readback(platform, *image_path, decode, target->identity, judged, &progress);
  if (!result) return Err(std::move(result).error());
  target->locks.release();
  return result;
}

HelperResult<json> classify_readback(Platform& platform, const std::string& image_path, bool decode,
                                     const TargetIdentity& identity, const std::vector<ByteRange>& judged,
                                     StageProgress* progress) {
  const std::uint64_t image_end = extents_end(judged);
  std::vector<ByteRange> ranges;
  {
    TextResult<std::vector<ByteRange>> found = std::vector<ByteRange>{};
    if (decode) {
      found = known_fat_metadata_ranges(
          [&](std::uint64_t lba) { return decoded_sector(platform, image_path, lba); }, image_end);
    } else {
      auto image = platform.open_file_read_as_user(image_path);
      if (!image) return fail(ErrorCode::kUnknown, image.error());
      found = known_fat_metadata_ranges(**image, image_end);
    }
    if (!found) return fail(ErrorCode::kUnknown, std::move(found).error());
    ranges = std::move(*found);
  }
  if (ranges.empty()) {
    return classification(false, "Unable to locate known FAT metadata sectors in the prepared image.");
  }

  auto sides = open_sides(platform, image_path, decode, image_end, identity, kClassifyStep);
  if (!sides) return Err(std::move(sides).error());
  SpanWalk walk(*sides, judged);
  std::uint64_t changed = 0;
  std::uint64_t compared = 0;  // bytes of the judged extents done, for progress
  if (progress != nullptr) progress->start();
  while (true) {
    auto span = walk.next();
    if (!span) return Err(std::move(span).error());
    if (!*span) break;
    const std::uint64_t offset = (*span)->offset;
    const std::size_t want = (*span)->wanted;
    if ((*span)->image.size() < want) return fail(ErrorCode::kImageMissing, kShortRead);
    if ((*span)->drive.size() < want) return fail(ErrorCode::kDeviceDisconnected, kShortRead);
    const std::uint8_t* image = (*span)->image.data();
    const std::uint8_t* drive = (*span)->drive.data();
    for (std::size_t i = first_difference(image, drive, want); i < want;
         i = i + 1 + first_difference(image + i + 1, drive + i + 1, want - i - 1)) {
      const std::uint64_t p = offset + i;
      const bool known = std::any_of(ranges.begin(), ranges.end(), [p](const ByteRange& r) { return r.contains(p); });
      if (!known) {
        if (progress != nullptr) progress->finish(compared);
        json unsafe = classification(false, "The readback differs outside known FAT metadata sectors at byte offset " +
                                                std::to_string(p) + ".");
        unsafe["firstUnsafeOffset"] = p;
        unsafe["metadataDiffBytes"] = changed;
        return unsafe;
      }
      if (++changed > kMaxMetadataDiffBytes) {
        if (progress != nullptr) progress->finish(compared);
        json too_much = classification(
            false, "The FAT metadata changed too much to classify as a normal Windows mount side effect.");
        too_much["metadataDiffBytes"] = changed;
        return too_much;
      }
    }
    compared += want;
    if (progress != nullptr) progress->advance(compared);
  }
  if (progress != nullptr) progress->finish(compared);
  json safe = classification(true, "Only known FAT metadata sectors changed after the write (" +
                                       std::to_string(changed) + " differing byte" + (changed == 1 ? "" : "s") + ").");
  safe["metadataDiffBytes"] = changed;
  return safe;
}

}  // namespace wh
