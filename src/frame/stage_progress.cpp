#include "frame/stage_progress.h"

#include <chrono>

#include "frame/progress.h"

namespace wh {
namespace {

constexpr Instant kEventInterval = std::chrono::milliseconds(500);

}  // namespace

StageProgress::StageProgress(const CommandContext& context, std::string_view task_id, std::string_view stage,
                             std::uint64_t bytes_total, std::string message)
    : context_(context), task_id_(task_id), stage_(stage), bytes_total_(bytes_total), message_(std::move(message)) {}

void StageProgress::start() {
  start_ = context_.platform.now();
  emit(0, start_);
}

void StageProgress::advance(std::uint64_t done) {
  const Instant now = context_.platform.now();
  if (now - last_event_ >= kEventInterval) emit(done, now);
}

void StageProgress::finish(std::uint64_t done) {
  if (reported_ && last_reported_ == done) return;
  emit(done, context_.platform.now());
}

void StageProgress::emit(std::uint64_t done, Instant now) {
  emit_progress(context_, task_id_, stage_, done, bytes_total_, bytes_per_second(done, now - start_, 0.001), message_);
  last_event_ = now;
  last_reported_ = done;
  reported_ = true;
}

}  // namespace wh
