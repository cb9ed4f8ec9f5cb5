// The write map a sparse request works with (`sparse` true): the one the
// request brings in `writeMap`, or, for an image read as it is, the one
// made here by scanning the image file. A decoded image cannot be scanned
// without a first pass over it; that pass is image_uncompressed_size's (with
// `sparse`), and its map must come with the request.
#pragma once

#include <optional>

#include <nlohmann/json.hpp>

#include "frame/errors.h"
#include "image/write_map.h"
#include "platform/platform.h"

namespace wh {

// Nullopt unless `sparse` is set. `image` is the image file, open; `decoded`
// tells whether its bytes are decoded on the way. UNKNOWN for a missing or
// invalid writeMap, and for one whose imageBytes disagrees with the image's
// length when that is known (`known_bytes`).
HelperResult<std::optional<WriteMap>> requested_write_map(const nlohmann::json& payload, Handle& image, bool decoded,
                                                          std::optional<std::uint64_t> known_bytes);

// The map of a prepared image of `size` bytes, scanned through `image`.
WriteMap scan_prepared_image(Handle& image, std::uint64_t size);

}  // namespace wh
