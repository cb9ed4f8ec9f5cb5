// From the request's `command` to the handler that serves it.
#pragma once

#include <nlohmann/json.hpp>

#include "frame/context.h"
#include "frame/errors.h"

namespace wh {

// Runs the handler whose name equals `command` byte for byte and returns its
// outcome unchanged. Any other name: UNKNOWN "Unsupported helper command: "
// and the name as received.
HelperResult<nlohmann::json> dispatch(CommandContext& context);

}  // namespace wh
