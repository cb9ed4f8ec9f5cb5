// Starting windows_helper as the desktop app does: one child process per
// request, its standard output read line by line as the lines arrive, so
// progress can be shown while the command runs. Two implementations, chosen
// by the build: POSIX (the simulated Windows) and Win32.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace flash {

// Called once per line of the child's standard output, without its line
// feed; a last line that ends without one is delivered too.
using LineSink = std::function<void(std::string_view line)>;

// Runs `program` with `arguments`, feeding `on_line` until the child closes
// its standard output, then waits for it. The child's standard input is a
// pipe that carries `input` and then ends; a child that stops reading early
// is no fault (the rest is dropped). Returns the exit status, or the reason
// the child could not be started or read. On POSIX the child leads a process
// group of its own, so that a Ctrl+C at the terminal reaches flash-card
// alone, which decides.
wh::Result<std::uint32_t, std::string> run_helper_process(const std::string& program,
                                                          const std::vector<std::string>& arguments,
                                                          const std::string& input, const LineSink& on_line);

// Ends the helper that is running now, if any, with everything it started
// (its process group on POSIX, its job on Windows). Safe to call from a
// signal or console-control handler.
void stop_running_helper() noexcept;

// Splits a byte stream into lines as it comes in.
class LineSplitter {
 public:
  explicit LineSplitter(const LineSink& sink) : sink_(sink) {}
  void feed(std::string_view bytes);
  // Delivers an unterminated last line, if any.
  void finish();

 private:
  const LineSink& sink_;
  std::string pending_;
};

}  // namespace flash
