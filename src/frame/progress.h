// The one writer of `ProgressEvent` lines.
#pragma once

#include <cstdint>
#include <string_view>

#include "frame/context.h"

namespace wh {

// Writes one progress line (members sorted by name, `event` "progress", the
// request's `sessionId`) and flushes. Never fails the calling command.
void emit_progress(const CommandContext& context, std::string_view task_id,
                   std::string_view stage, std::uint64_t bytes_processed,
                   std::uint64_t bytes_total, std::uint64_t speed_bps, std::string_view message);

// `bytes` per second over `elapsed`, with the elapsed time floored at
// `floor_seconds`; truncated, saturating at the largest 64-bit value.
std::uint64_t bytes_per_second(std::uint64_t bytes, Instant elapsed, double floor_seconds);

}  // namespace wh
