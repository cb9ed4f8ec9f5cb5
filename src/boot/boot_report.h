// verify_boot: whether a written card looks ready to boot a Raspberry Pi,
// judged on the host from the app's byte-for-byte result and a read-only
// inspection of the card's structure. The answer is a report of check rows;
// only a missing or refused target is an error response.
#pragma once

#include <nlohmann/json.hpp>

#include "frame/context.h"
#include "frame/errors.h"

namespace wh {

HelperResult<nlohmann::json> handle_verify_boot(CommandContext& context);

}  // namespace wh
