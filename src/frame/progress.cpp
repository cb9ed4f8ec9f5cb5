#include "frame/progress.h"

#include <algorithm>
#include <string>

#include <nlohmann/json.hpp>

#include "frame/json_text.h"

namespace wh {

void emit_progress(const CommandContext& context, std::string_view task_id,
                   std::string_view stage, std::uint64_t bytes_processed,
                   std::uint64_t bytes_total, std::uint64_t speed_bps, std::string_view message) {
  nlohmann::json event = {
      {"bytesProcessed", bytes_processed},
      {"bytesTotal", bytes_total},
      {"event", "progress"},
      {"message", std::string(message)},
      {"sessionId", context.request.session_id},
      {"speedBps", speed_bps},
      {"stage", std::string(stage)},
      {"taskId", std::string(task_id)},
  };
  context.out.write_line(encode_json_lossy(event));
}

std::uint64_t bytes_per_second(std::uint64_t bytes, Instant elapsed, double floor_seconds) {
  const double seconds = std::max(std::chrono::duration<double>(elapsed).count(), floor_seconds);
  const double speed = static_cast<double>(bytes) / seconds;
  if (!(speed > 0)) return 0;  // also NaN
  // 2^64 is exactly representable; anything at or above it saturates.
  if (speed >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(speed);
}

}  // namespace wh
