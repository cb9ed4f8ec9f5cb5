#include "progress_view.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace flash {

using nlohmann::json;

namespace {

std::uint64_t number(const json& event, const char* name) {
  const auto found = event.find(name);
  return found != event.end() && found->is_number_unsigned() ? found->get<std::uint64_t>() : 0;
}

int percent(const StageFigures& figures) {
  if (figures.total == 0) return -1;
  return static_cast<int>(std::min<std::uint64_t>(100, figures.bytes * 100 / figures.total));
}

using Clock = std::chrono::steady_clock;

// The seconds `bytes` take at `speed`, rounded up; nullopt at no speed.
std::optional<std::chrono::seconds> time_for(std::uint64_t bytes, std::uint64_t speed) {
  if (speed == 0) return std::nullopt;
  return std::chrono::seconds(bytes / speed + (bytes % speed != 0));
}

}  // namespace

std::string format_duration(std::chrono::seconds duration) {
  const long long total = std::max<long long>(0, duration.count());
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

ProgressParts ProgressView::parts(const StageFigures& figures) const {
  ProgressParts parts;
  parts.stage = figures.stage;
  parts.percent = percent(figures);
  parts.amounts = format_bytes(figures.bytes);
  if (figures.total != 0) parts.amounts += " / " + format_bytes(figures.total);
  parts.speed = format_speed(figures.speed_bps);
  // The helper's speed is its bytes over its own clock, so the time they
  // took follows from them; before the first speed, this process's clock.
  const auto elapsed = figures.speed_bps != 0
                           ? std::chrono::seconds(figures.bytes / figures.speed_bps)
                           : std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - figures.started);
  parts.elapsed = format_duration(elapsed);
  if (figures.total > figures.bytes) {
    if (const auto left = time_for(figures.total - figures.bytes, figures.speed_bps)) parts.left = format_duration(*left);
  }
  return parts;
}

std::string ProgressView::amounts(const StageFigures& figures) const {
  const ProgressParts shown = parts(figures);
  return shown.amounts + "  " + shown.speed + "  " + shown.elapsed + " elapsed" +
         (shown.left.empty() ? "" : ", " + shown.left + " left");
}

std::string ProgressView::overall() const {
  if (plan_.empty() || stages_.empty()) return "";
  // Where the flash is: the planned stage now running, or the last one seen.
  const StageFigures& current = stages_.back();
  std::size_t at = plan_.size();
  for (std::size_t i = 0; i < plan_.size(); ++i) {
    if (plan_[i].stage == current.stage) at = i;
  }
  if (at == plan_.size()) return "";
  std::uint64_t all = 0, done = 0;
  for (const PlannedStage& stage : plan_) all += stage.bytes;
  for (std::size_t i = 0; i < at; ++i) done += plan_[i].bytes;
  done += std::min(current.bytes, plan_[at].bytes);
  if (all == 0) return "";
  // The stages ahead are guessed at the speed of the one now running.
  const auto left = time_for(all - done, current.speed_bps);
  std::string text = "overall " + std::to_string(done * 100 / all) + "%";
  if (left) text += ", about " + format_duration(*left) + " left";
  return text;
}

std::string format_bytes(std::uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit >= 2 ? "%.2f %s" : "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string format_speed(std::uint64_t bytes_per_second) { return format_bytes(bytes_per_second) + "/s"; }

StageFigures ProgressView::figures(const std::string& stage) const {
  for (auto it = stages_.rbegin(); it != stages_.rend(); ++it) {
    if (it->stage == stage) return *it;
  }
  return StageFigures{stage, 0, 0, 0, {}};
}

void ProgressView::on_event(const json& event) {
  const std::string stage = event.value("stage", "");
  if (!open_ || stages_.empty() || stages_.back().stage != stage) {
    finish();
    stages_.push_back(StageFigures{stage, 0, 0, 0, Clock::now()});
    open_ = true;
    if (!live_) plain_line(stage + " started: " + event.value("message", ""));
  }
  StageFigures& current = stages_.back();
  current.bytes = number(event, "bytesProcessed");
  current.total = number(event, "bytesTotal");
  current.speed_bps = number(event, "speedBps");
  if (live_) draw();
}

void ProgressView::draw() {
  ProgressParts shown = parts(stages_.back());
  shown.overall = overall();
  const std::size_t columns = columns_ ? columns_() : 0;
  std::string line = fit_progress_line(shown, columns);
  const std::size_t width = line.size();
  // Wipe what is left of a longer old line, never past the console's edge.
  std::size_t wipe_to = drawn_width_;
  if (columns != 0) wipe_to = std::min(wipe_to, columns - 1);
  if (width < wipe_to) line += std::string(wipe_to - width, ' ');
  drawn_width_ = width;
  out_ << '\r' << line << std::flush;
}

void ProgressView::finish(bool succeeded) {
  if (!open_) return;
  open_ = false;
  const StageFigures& current = stages_.back();
  if (live_) {
    if (!succeeded) {
      // On the bar's row when it has room there, else on a row of its own.
      const std::size_t columns = columns_ ? columns_() : 0;
      const bool room = columns == 0 || drawn_width_ + 9 < columns;
      out_ << (room ? "  stopped" : "\n  " + current.stage + " stopped");
    }
    out_ << '\n' << std::flush;
    drawn_width_ = 0;
  } else {
    plain_line(current.stage + (succeeded ? " done: " : " stopped: ") + amounts(current));
  }
}

void ProgressView::note(const std::string& text) {
  finish();
  plain_line(text);
}

void ProgressView::plain_line(const std::string& text) { out_ << text << '\n' << std::flush; }

}  // namespace flash
