// The three commands over XZ-compressed images: check one, learn its decoded
// size, and decompress it once into the prepared image that later writes copy
// to a card.
#pragma once

#include <nlohmann/json.hpp>

#include "frame/context.h"
#include "frame/errors.h"

namespace wh {

// {"valid": true} once the whole file, every stream of it, has decoded cleanly.
HelperResult<nlohmann::json> handle_image_validate_xz(CommandContext& context);

// {"uncompressedBytes": n}, counted by decoding.
HelperResult<nlohmann::json> handle_image_uncompressed_size(CommandContext& context);

// Decodes `imagePath` into `outputPath` with "PREPARE" progress; answers the
// path, the SHA-256 of the decoded bytes and, on request, of the source.
HelperResult<nlohmann::json> handle_image_extract_xz(CommandContext& context);

}  // namespace wh
