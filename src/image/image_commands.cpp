#include "image/image_commands.h"

#include <optional>

#include "frame/payload_fields.h"
#include "frame/stage_progress.h"
#include "image/declared_size.h"
#include "image/disk_image_check.h"
#include "image/image_decode.h"
#include "image/output_target.h"
#include "image/prepared_image_writer.h"
#include "image/xz_decode.h"

namespace wh {

using nlohmann::json;

namespace {

constexpr std::string_view kImageTask = "image-prep";

HelperStatus require_image(Platform& platform, const std::string& path) {
  if (!platform.file_exists(path)) return fail(ErrorCode::kImageMissing, "Image does not exist: " + path);
  return {};
}

// `imagePath` as the checking commands read it: present, a string, and a path
// the file system knows.
HelperResult<std::string> existing_image_path(const CommandContext& context) {
  auto path = required_text(context.request.payload, "imagePath");
  if (!path) return path;
  if (auto exists = require_image(context.platform, *path); !exists) return Err(std::move(exists).error());
  return path;
}

HelperResult<HandlePtr> open_source(Platform& platform, const std::string& path) {
  auto source = platform.open_file_read_as_user(path);
  if (!source) return fail(ErrorCode::kXzInvalid, source.error());
  return std::move(*source);
}

// Which decoder a command uses: XZ alone (the _xz commands), or whatever
// the file's first bytes say.
enum class Formats { kXzOnly, kAny };

HelperResult<ImageFormat> format_of(Handle& source, Formats formats) {
  if (formats == Formats::kXzOnly) return ImageFormat::kXz;
  return probe_format(source);
}

// What a whole decode found: the format, the decoded size and first bytes.
struct Decoded {
  ImageFormat format = ImageFormat::kRaw;
  std::uint64_t bytes = 0;
  ImageHead head;
};

// Decodes `path` whole, every piece through `sink` too, with PREPARE lines
// saying `message`: decoded bytes, out of the size the format declares (0
// when it declares none).
HelperResult<Decoded> decode_file(CommandContext& context, const std::string& path, Formats formats,
                                  std::string message, const PieceSink& sink) {
  auto source = open_source(context.platform, path);
  if (!source) return Err(std::move(source).error());
  auto format = format_of(**source, formats);
  if (!format) return Err(std::move(format).error());
  // Only for the lines: an index that cannot be read is the decode's to report.
  auto declared = declared_size(**source, *format);
  if (auto back = (*source)->seek(0); !back) return fail(ErrorCode::kXzInvalid, "io error: " + back.error().text());
  StageProgress progress(context, kImageTask, "PREPARE", declared ? declared->value_or(0) : 0, std::move(message));
  progress.start();
  Decoded decoded;
  decoded.format = *format;
  auto done = decode_image(**source, *format, /*source_digest=*/nullptr,
                           [&](std::span<const std::uint8_t> piece) -> SinkStatus {
                             decoded.head.take(piece);
                             decoded.bytes += piece.size();
                             progress.advance(decoded.bytes);
                             return sink(piece);
                           });
  if (!done) return Err(std::move(done).error());
  progress.finish(decoded.bytes);
  return decoded;
}

HelperResult<json> validate(CommandContext& context, Formats formats) {
  auto path = existing_image_path(context);
  if (!path) return Err(std::move(path).error());
  auto decoded = decode_file(context, *path, formats, "Checking image",
                             [](std::span<const std::uint8_t>) -> SinkStatus { return {}; });
  if (!decoded) return Err(std::move(decoded).error());
  // The XZ command answers for the XZ container alone, as it always has.
  if (formats == Formats::kXzOnly) return json{{"valid", true}};
  const bool raw = optional_flag(context.request.payload, "rawWithoutPartitionTable");
  if (auto sound = check_decoded_image(decoded->format, decoded->head, decoded->bytes, raw); !sound) {
    return Err(std::move(sound).error());
  }
  return json{{"valid", true},
              {"format", std::string(format_name(decoded->format))},
              {"partitionTable", std::string(partition_table_name(read_disk_layout(decoded->head.bytes()).table))}};
}

HelperResult<json> extract(CommandContext& context, Formats formats);

}  // namespace

HelperResult<json> handle_image_validate_xz(CommandContext& context) { return validate(context, Formats::kXzOnly); }

HelperResult<json> handle_image_validate(CommandContext& context) { return validate(context, Formats::kAny); }

HelperResult<json> handle_image_uncompressed_size(CommandContext& context) {
  auto path = existing_image_path(context);
  if (!path) return Err(std::move(path).error());
  // XZ alone unless asked: the command answered for XZ files only before
  // other formats came, and keeps doing so for callers that rely on it.
  const bool any_format = optional_flag(context.request.payload, "anyFormat");
  const Formats formats = any_format ? Formats::kAny : Formats::kXzOnly;
  // With anyFormat, the decoded bytes' digest too: a streamed write
  // (write_image with decompress) must reproduce it, which proves the card
  // got the image measured here.
  Sha256 digest;
  auto decoded = decode_file(context, *path, formats, "Measuring image",
                             [&](std::span<const std::uint8_t> piece) -> SinkStatus {
                               if (any_format) digest.update(piece);
                               return {};
                             });
  if (!decoded) return Err(std::move(decoded).error());
  json result = {{"uncompressedBytes", decoded->bytes}, {"format", std::string(format_name(decoded->format))}};
  if (any_format) result["sha256"] = digest.finish_hex();
  // A measure, not a check: what is no disk image is measured all the same,
  // and only a disk image's table is named.
  if (const DiskLayout layout = read_disk_layout(decoded->head.bytes()); layout.disk_image) {
    result["partitionTable"] = std::string(partition_table_name(layout.table));
  }
  return result;
}

HelperResult<json> handle_image_extract_xz(CommandContext& context) { return extract(context, Formats::kXzOnly); }

HelperResult<json> handle_image_extract(CommandContext& context) { return extract(context, Formats::kAny); }

namespace {

HelperResult<json> extract(CommandContext& context, Formats formats) {
  const json& payload = context.request.payload;
  auto image_path = required_text(payload, "imagePath");
  if (!image_path) return Err(std::move(image_path).error());
  auto output_path = required_text(payload, "outputPath");
  if (!output_path) return Err(std::move(output_path).error());
  if (auto exists = require_image(context.platform, *image_path); !exists) {
    return Err(std::move(exists).error());
  }
  const std::uint64_t bytes_total = optional_count(payload, "uncompressedBytes").value_or(0);
  const bool capture_source_sha = optional_flag(payload, "captureSourceSha");

  auto source = open_source(context.platform, *image_path);
  if (!source) return Err(std::move(source).error());
  if (auto allowed = check_output_target(context.platform, *output_path, **source); !allowed) {
    return Err(std::move(allowed).error());
  }
  auto format = format_of(**source, formats);
  if (!format) return Err(std::move(format).error());
  // What is empty, no disk image or cut short is refused before the output
  // is created, as far as the image's first bytes and declared size tell.
  std::optional<ImageFacts> facts;
  const bool raw = optional_flag(payload, "rawWithoutPartitionTable");
  if (formats == Formats::kAny) {
    auto examined = examine_image(**source, *format, raw);
    if (!examined) return Err(std::move(examined).error());
    facts = std::move(*examined);
  }
  // With the user's rights, never through a link as the last component; and
  // checked once more through the handle before anything is written.
  auto opened = context.platform.open_output_as_user(*output_path);
  if (!opened) return fail(ErrorCode::kXzInvalid, opened.error());
  HandlePtr output = std::move(opened->handle);
  if (auto allowed = check_opened_output(*output, *output_path, **source); !allowed) {
    return Err(std::move(allowed).error());
  }
  // Skipped zero runs then cost neither writes nor space on NTFS. Only a
  // hint: FAT and exFAT refuse it, and the image is the same either way.
  (void)output->set_sparse();

  std::optional<Sha256> source_digest;
  if (capture_source_sha) source_digest.emplace();
  PreparedImageWriter writer(context, *output, bytes_total);
  writer.start();
  std::uint64_t decoded_bytes = 0;
  auto decoded = decode_image(**source, *format, source_digest ? &*source_digest : nullptr,
                              [&](std::span<const std::uint8_t> piece) {
                                decoded_bytes += piece.size();
                                return writer.accept(piece);
                              });
  if (!decoded) return Err(std::move(decoded).error());
  // A size its format did not declare is known now.
  if (facts) {
    if (auto whole = refuse_cut_short(facts->layout, decoded_bytes); !whole) return Err(std::move(whole).error());
  }
  auto sha256 = writer.finish();
  if (!sha256) return Err(std::move(sha256).error());

  json result{{"outputPath", *output_path}, {"sha256", *sha256}, {"outputSynced", true}};
  if (source_digest) result["sourceSha256"] = source_digest->finish_hex();
  return result;
}

}  // namespace

}  // namespace wh
