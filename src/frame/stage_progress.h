// One stage's progress lines at the pace every long command keeps: one at 0
// bytes, then at most one every 500 ms as the work goes, then a closing one
// with the final count, unless the line just sent already said it. An
// application that sees nothing for much longer than that can tell a hang
// from slow work.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "frame/context.h"

namespace wh {

class StageProgress {
 public:
  StageProgress(const CommandContext& context, std::string_view task_id, std::string_view stage,
                std::uint64_t bytes_total, std::string message);

  // The clock starts, and the line at 0 bytes goes out.
  void start();
  // `done` bytes so far: a line when 500 ms have passed since the last one.
  void advance(std::uint64_t done);
  // The closing line at `done`.
  void finish(std::uint64_t done);

 private:
  void emit(std::uint64_t done, Instant now);

  const CommandContext& context_;
  std::string task_id_;
  std::string stage_;
  std::uint64_t bytes_total_;
  std::string message_;
  Instant start_{};
  Instant last_event_{};
  std::uint64_t last_reported_ = 0;
  bool reported_ = false;
};

}  // namespace wh
