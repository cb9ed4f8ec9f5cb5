// From the request's `command` to the handler that serves it. The frame knows
// the sixteen command names; which handlers exist is for the composition
// root (src/main) to say, so the frame depends on no subsystem above it.
#pragma once

#include <span>
#include <string_view>

#include <nlohmann/json.hpp>

#include "frame/context.h"
#include "frame/errors.h"

namespace wh {

using CommandHandler = HelperResult<nlohmann::json> (*)(CommandContext&);

struct CommandEntry {
  std::string_view name;
  CommandHandler handler;
};

// Runs the handler in `handlers` whose name equals `command` byte for byte
// and returns its outcome unchanged. One of the sixteen names without a
// handler: UNKNOWN "Helper command <name> is not available in this build",
// never a success. Any other name: UNKNOWN "Unsupported helper command: "
// and the name as received.
HelperResult<nlohmann::json> dispatch(CommandContext& context, std::span<const CommandEntry> handlers);

}  // namespace wh
