// What flash-card asks of its own operating system besides starting the
// helper: whether a stream is an interactive terminal, where its own
// executable lives, and the helper's file name there. POSIX and Win32
// implementations, chosen by the build.
#pragma once

#include <cstddef>
#include <string>

namespace flash {

enum class Stream { kInput, kOutput };

// True when `stream` is a terminal (a console on Windows), where the display
// can redraw a line in place and a question can be answered.
bool is_terminal(Stream stream);

// The width of the terminal standard output writes to, in columns: on
// Windows the console screen buffer's, elsewhere the terminal's size; 0 when
// standard output is no terminal or its width cannot be read.
std::size_t output_columns();

// The full path of the running executable; empty when it cannot be found.
std::string own_executable_path();

// "windows_helper", or "windows_helper.exe" on Windows.
std::string helper_file_name();

// For as long as it lives, the console shows UTF-8 output; afterwards, and
// if the console is closed or interrupted first, it gets its own output code
// page back, so the shell it belongs to is left as it was.
class ConsoleSession {
 public:
  ConsoleSession();
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;
  ~ConsoleSession();
};

// From its construction on, an interruption — Ctrl+C, SIGTERM, SIGHUP, or
// on Windows Ctrl+Break, closing the console, a logoff or a shutdown — stops
// the running steps (stop_running_helpers) and is remembered for the flow,
// which cleans up and ends with kExitInterrupted; a second Ctrl+C (or
// SIGTERM, or Ctrl+Break) ends flash-card at once with that status, the
// clean-up too. On Windows, closing the console leaves a few seconds: the
// handler waits until the session ends or that time is nearly gone, and a
// clean-up still running then finishes after flash-card (HelperRole).
class InterruptionWatch {
 public:
  InterruptionWatch();
  InterruptionWatch(const InterruptionWatch&) = delete;
  InterruptionWatch& operator=(const InterruptionWatch&) = delete;
  ~InterruptionWatch();
};

// Whether an interruption came.
bool interrupted();

}  // namespace flash

#include <filesystem>

namespace flash {

// A UTF-8 path as the file system's path type (on Windows a narrow string
// would be read in the ANSI code page).
inline std::filesystem::path utf8_path(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

}  // namespace flash
