// The simulated Windows' monotonic clock: real time, plus the part of every
// sleep that was skipped (sleepScale), plus the time transfers would have
// taken (msPerMiB).
#include <thread>

#include "platform/sim/sim_platform.h"

namespace wh::sim {

Instant SimPlatform::now() {
  const std::lock_guard guard(bookkeeping_);
  // Exact for any count of bytes: no rounding accumulates over many calls.
  const long double transfer_ns = static_cast<long double>(state.bytes_moved) * machine.ms_per_mib * 1e6L / 1048576.0L;
  return std::chrono::steady_clock::now().time_since_epoch() + state.skipped_sleep +
         std::chrono::nanoseconds(static_cast<std::int64_t>(transfer_ns));
}

void SimPlatform::count_transfer(std::uint64_t bytes) {
  const std::lock_guard guard(bookkeeping_);
  state.bytes_moved += bytes;
}

void SimPlatform::sleep_ms(std::uint32_t milliseconds) {
  const std::chrono::nanoseconds asked = std::chrono::milliseconds(milliseconds);
  const auto slept = std::chrono::duration_cast<std::chrono::nanoseconds>(asked * machine.sleep_scale);
  std::this_thread::sleep_for(slept);
  const std::lock_guard guard(bookkeeping_);
  state.skipped_sleep += asked - slept;
}

}  // namespace wh::sim
