// The helper's progress events as the user sees them: on a terminal one bar
// per stage, redrawn in place and fitted to the console's width
// (console_width.h); elsewhere plain lines, one when a stage starts and one
// when it ends ("done", or "stopped" when its helper failed). The bar shows
// bytes, speed, the time the stage has taken and the time it has left; with
// a plan of the whole flash, the share of all of it done and the time all
// of it has left too. The view also keeps each stage's last figures for the
// summary.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "console_width.h"

namespace flash {

struct StageFigures {
  std::string stage;
  std::uint64_t bytes = 0;
  std::uint64_t total = 0;
  std::uint64_t speed_bps = 0;
  std::chrono::steady_clock::time_point started{};
};

// A stage the flash is still to go through, and the bytes it moves.
struct PlannedStage {
  std::string stage;
  std::uint64_t bytes = 0;
};

class ProgressView {
 public:
  // `columns` gives the console's width at each redraw (0: unknown); none
  // leaves the line as long as it is.
  ProgressView(std::ostream& out, bool live, std::function<std::size_t()> columns = {})
      : out_(out), live_(live), columns_(std::move(columns)) {}

  void on_event(const nlohmann::json& event);
  // Ends the current stage's display (a helper process has ended, and
  // `succeeded` says whether it did its work).
  void finish(bool succeeded = true);
  // The stages of the whole flash, in order, for the overall share and time
  // left; stages not in it count for nothing.
  void plan(std::vector<PlannedStage> stages) { plan_ = std::move(stages); }
  // A line of its own, after any bar in progress.
  void note(const std::string& text);

  const std::vector<StageFigures>& stages() const { return stages_; }
  // The last figures of `stage`; zeros when it never reported.
  StageFigures figures(const std::string& stage) const;

 private:
  void draw();
  void plain_line(const std::string& text);
  // The figures of a stage: bytes, speed, time taken and time left.
  ProgressParts parts(const StageFigures& figures) const;
  // "12.0 MiB / 48.0 MiB  6.0 MiB/s  0:02 elapsed, 0:06 left".
  std::string amounts(const StageFigures& figures) const;
  // "overall 41%, about 0:20 left", or "" without a plan.
  std::string overall() const;

  std::ostream& out_;
  bool live_;
  std::function<std::size_t()> columns_;
  bool open_ = false;  // a stage is being shown
  std::size_t drawn_width_ = 0;
  std::vector<StageFigures> stages_;
  std::vector<PlannedStage> plan_;
};

// "0:07", "12:30", "1:02:03".
std::string format_duration(std::chrono::seconds duration);

// "512 B", "4.0 KiB", "48.0 MiB", "1.50 GiB".
std::string format_bytes(std::uint64_t bytes);
// format_bytes + "/s".
std::string format_speed(std::uint64_t bytes_per_second);

}  // namespace flash
