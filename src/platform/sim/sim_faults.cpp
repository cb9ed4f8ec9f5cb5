// The injected faults of the simulated Windows: which one applies to an
// operation, and what it makes of it.
#include <algorithm>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_platform.h"
#include "platform/unicode.h"

namespace wh::sim {
namespace {

bool applies(const SimFault& f, std::string_view operation, const std::string& lower_path, std::string_view mode) {
  if (f.operation != operation) return false;
  if (f.path && ascii_lower(*f.path) != lower_path) return false;
  return !f.mode || *f.mode == mode;
}

}  // namespace

int SimPlatform::find_fault(std::string_view operation, const std::string& path, std::string_view mode) const {
  const std::lock_guard guard(bookkeeping_);
  const std::string lower = ascii_lower(path);
  for (std::size_t i = 0; i < machine.faults.size(); ++i) {
    const SimFault& f = machine.faults[i];
    if (!applies(f, operation, lower, mode)) continue;
    if (f.count && state.fault_hits[i] >= *f.count) continue;
    return static_cast<int>(i);
  }
  return -1;
}

OsError SimPlatform::fire(int index) {
  const std::lock_guard guard(bookkeeping_);
  const SimFault& f = machine.faults[static_cast<std::size_t>(index)];
  ++state.fault_hits[static_cast<std::size_t>(index)];
  OsError error = win32_error(f.error);
  error.interrupted = f.interrupted;
  return error;
}

std::optional<OsError> SimPlatform::fault(std::string_view operation, const std::string& path,
                                          std::string_view mode) {
  const std::lock_guard guard(bookkeeping_);
  const int index = find_fault(operation, path, mode);
  if (index < 0) return std::nullopt;
  const auto i = static_cast<std::size_t>(index);
  if (state.fault_skips[i] < machine.faults[i].skip) {
    ++state.fault_skips[i];
    return std::nullopt;
  }
  return fire(index);
}

OsResult<std::size_t> SimPlatform::transfer_allowance(std::string_view operation, const std::string& path,
                                                      std::string_view mode, std::size_t wanted,
                                                      std::uint64_t moved) {
  const std::lock_guard guard(bookkeeping_);
  const std::string lower = ascii_lower(path);
  std::size_t allowed = wanted;
  for (std::size_t i = 0; i < machine.faults.size(); ++i) {
    const SimFault& f = machine.faults[i];
    if (!applies(f, operation, lower, mode)) continue;
    if (f.count && state.fault_hits[i] >= *f.count) continue;
    const int index = static_cast<int>(i);
    if (f.after_bytes) {
      // The threshold counts bytes, so skip does not apply.
      if (moved >= *f.after_bytes) return Err(fire(index));
      allowed = static_cast<std::size_t>(std::min<std::uint64_t>(allowed, *f.after_bytes - moved));
      continue;
    }
    if (state.fault_skips[i] < f.skip) {
      ++state.fault_skips[i];
      continue;
    }
    if (!f.max_bytes_per_call) return Err(fire(index));
    ++state.fault_hits[i];
    allowed = static_cast<std::size_t>(std::min<std::uint64_t>(allowed, *f.max_bytes_per_call));
  }
  return allowed;
}

std::vector<std::size_t> SimPlatform::claim_corruptions(const std::string& path, std::string_view mode) {
  const std::lock_guard guard(bookkeeping_);
  const std::string lower = ascii_lower(path);
  std::vector<std::size_t> claimed;
  for (std::size_t i = 0; i < machine.faults.size(); ++i) {
    const SimFault& f = machine.faults[i];
    if (!applies(f, "corrupt", lower, mode)) continue;
    if (f.count && state.fault_hits[i] >= *f.count) continue;
    ++state.fault_hits[i];
    claimed.push_back(i);
  }
  return claimed;
}

}  // namespace wh::sim
