// An image's decoded size where its format states it before the data: a raw
// image's length, a zip archive's central directory, an XZ file's index
// (read from the end of the file, as `xz --list` does). gzip, bzip2 and
// zstd state none that can be believed: their sizes are known only once
// decoded.
#pragma once

#include <cstdint>
#include <optional>

#include "frame/errors.h"
#include "image/image_format.h"
#include "platform/platform.h"

namespace wh {

// The decoded size `source` declares as `format`, or nullopt for a format
// that declares none. `source` is back at byte 0 afterwards. Failures are
// XZ_INVALID: an XZ file whose index cannot be read (a file cut short or
// damaged), the zip refusals of zip_image_size, "io error: …".
HelperResult<std::optional<std::uint64_t>> declared_size(Handle& source, ImageFormat format);

}  // namespace wh
