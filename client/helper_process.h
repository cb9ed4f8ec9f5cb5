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

// What a helper is run for, which decides what stops it.
enum class HelperRole {
  // A step of the flash: an interruption stops it, also one that comes while
  // it is being started, and it dies with flash-card.
  kStep,
  // The clean-up that brings a card back online: it runs after an
  // interruption, a first interruption leaves it running, and it outlives
  // flash-card, which Windows ends a few seconds after a closed console, a
  // logoff or a shutdown.
  kCleanUp,
};

// Runs `program` with `arguments`, feeding `on_line` until the child closes
// its standard output, then waits for it. The child's standard input is a
// pipe that carries `input` and then ends; a child that stops reading early
// is no fault (the rest is dropped). Returns the exit status, or the reason
// the child could not be started or read. On POSIX the child leads a process
// group of its own, so that a Ctrl+C at the terminal reaches flash-card
// alone, which decides. A step is published for stop_running_helpers before
// it can run, and is not let run when an interruption came first.
wh::Result<std::uint32_t, std::string> run_helper_process(const std::string& program,
                                                          const std::vector<std::string>& arguments,
                                                          const std::string& input, const LineSink& on_line,
                                                          HelperRole role = HelperRole::kStep);

// Ends the steps running now, if any, with everything they started (a
// process group on POSIX, a job on Windows); with `clean_ups_too`, the
// clean-ups as well. Safe to call from a signal or console-control handler.
void stop_running_helpers(bool clean_ups_too) noexcept;

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
