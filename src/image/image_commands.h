// The commands over images: check one, learn its decoded size, and decode it
// once into the prepared image that later writes copy to a card. The _xz
// ones take XZ alone; the others any format image_decode.h decodes, found
// from the file's first bytes, with the same results and errors.
#pragma once

#include <nlohmann/json.hpp>

#include "frame/context.h"
#include "frame/errors.h"

namespace wh {

// {"valid": true} once the whole file, every stream of it, has decoded
// cleanly; the format-neutral one also refuses what is empty, no disk image
// or cut short (disk_image_check.h), and names the format and the partition
// table. Both send PREPARE lines while they decode.
HelperResult<nlohmann::json> handle_image_validate_xz(CommandContext& context);
HelperResult<nlohmann::json> handle_image_validate(CommandContext& context);

// {"uncompressedBytes": n, "format": …}, counted by decoding: of an XZ file,
// or with "anyFormat" true of any format; "partitionTable" for a disk image.
HelperResult<nlohmann::json> handle_image_uncompressed_size(CommandContext& context);

// Decodes `imagePath` into `outputPath` with "PREPARE" progress; answers the
// path, the SHA-256 of the decoded bytes and, on request, of the source. The
// format-neutral one refuses what examine_image refuses before the output is
// created, and an image cut short once it is decoded.
HelperResult<nlohmann::json> handle_image_extract_xz(CommandContext& context);
HelperResult<nlohmann::json> handle_image_extract(CommandContext& context);

}  // namespace wh
