// The flash itself: the prepared image copied onto the proven drive from
// byte 0 through an exclusive write-through handle, flushed, then read back
// through fresh handles and compared by SHA-256, with one recheck and the
// first differing byte when the digests still differ.
#pragma once

#include <nlohmann/json.hpp>

#include "frame/context.h"
#include "frame/errors.h"

namespace wh {

HelperResult<nlohmann::json> handle_write_image(CommandContext& context);

}  // namespace wh
