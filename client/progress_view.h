// The helper's progress events as the user sees them: on a terminal one bar
// per stage, redrawn in place; elsewhere plain lines, one when a stage
// starts, one per tenth of the way, one when it ends. The view also keeps
// each stage's last figures for the summary.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace flash {

struct StageFigures {
  std::string stage;
  std::uint64_t bytes = 0;
  std::uint64_t total = 0;
  std::uint64_t speed_bps = 0;
};

class ProgressView {
 public:
  ProgressView(std::ostream& out, bool live) : out_(out), live_(live) {}

  void on_event(const nlohmann::json& event);
  // Ends the current stage's display (a helper process has ended).
  void finish();
  // A line of its own, after any bar in progress.
  void note(const std::string& text);

  const std::vector<StageFigures>& stages() const { return stages_; }
  // The last figures of `stage`; zeros when it never reported.
  StageFigures figures(const std::string& stage) const;

 private:
  void draw();
  void plain_line(const std::string& text);

  std::ostream& out_;
  bool live_;
  bool open_ = false;  // a stage is being shown
  int last_tenth_ = -1;
  std::size_t drawn_width_ = 0;
  std::vector<StageFigures> stages_;
};

// "512 B", "4.0 KiB", "48.0 MiB", "1.50 GiB".
std::string format_bytes(std::uint64_t bytes);
// format_bytes + "/s".
std::string format_speed(std::uint64_t bytes_per_second);

}  // namespace flash
