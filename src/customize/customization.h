// apply_customization: first-boot files and kernel command-line additions
// written to the card's boot partition after a flash. The disk comes online
// for it and goes offline again afterwards, also when a write failed.
#pragma once

#include <nlohmann/json.hpp>

#include "frame/context.h"
#include "frame/errors.h"

namespace wh {

HelperResult<nlohmann::json> handle_apply_customization(CommandContext& context);

}  // namespace wh
