// One image onto several cards at once, once the image is checked (and,
// prepared, extracted): each card through its own chain of helper
// processes, with its own session, identity proofs and lines (led by the
// card's name), so that one card failing never stops or touches another;
// then a summary with a row per card.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "flash_flow.h"
#include "summary.h"

namespace flash {

// The exit status of all of them: kExitSuccess when every card is ready.
int flash_at_once(const FlashOptions& options, const std::vector<nlohmann::json>& disks, const FlashRecord& common,
                  const std::optional<nlohmann::json>& customization, const std::string& helper_path,
                  const FlowStreams& streams);

}  // namespace flash
