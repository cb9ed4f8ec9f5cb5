// A progress line that fits the console: a line as wide as the console, or
// wider, wraps, and a carriage return then redraws only its last row, so
// every redraw would become a new line. The parts go in a fixed order as
// room runs out: the overall share first, then the time elapsed, then the
// bar shrinks and goes, then the speed; what is left is cut short.
#pragma once

#include <cstddef>
#include <string>

namespace flash {

struct ProgressParts {
  std::string stage;    // "WRITE"
  int percent = -1;     // -1: no total, no bar
  std::string amounts;  // "20.0 MiB / 48.0 MiB"
  std::string speed;    // "19.7 MiB/s"
  std::string elapsed;  // "0:01" ("" when unknown)
  std::string left;     // "0:02" ("" when unknown or done)
  std::string overall;  // "overall 47%, about 0:04 left" ("" without a plan)
};

// The line for a console `columns` wide: at most columns - 1 characters, so
// that the cursor never moves on to the next row. 0 columns: no limit.
std::string fit_progress_line(const ProgressParts& parts, std::size_t columns);

}  // namespace flash
