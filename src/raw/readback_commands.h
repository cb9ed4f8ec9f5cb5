// The two commands that read the target without writing it: the digest of
// its first N bytes, and a short run of raw sectors as hex text.
#pragma once

#include <nlohmann/json.hpp>

#include "frame/context.h"
#include "frame/errors.h"

namespace wh {

inline constexpr std::uint64_t kMaxInspectedSectors = 16384;

HelperResult<nlohmann::json> handle_verify_hash(CommandContext& context);
HelperResult<nlohmann::json> handle_read_sectors(CommandContext& context);

}  // namespace wh
