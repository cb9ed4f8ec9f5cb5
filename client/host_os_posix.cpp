#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "flash_options.h"
#include "helper_process.h"
#include "host_os.h"

namespace flash {

bool is_terminal(Stream stream) { return ::isatty(stream == Stream::kInput ? 0 : 1) == 1; }

std::size_t output_columns() {
  struct winsize size {};
  if (::ioctl(/*fd=*/1, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

std::string own_executable_path() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string helper_file_name() { return "windows_helper"; }

// A POSIX terminal takes the bytes as they are.
ConsoleSession::ConsoleSession() = default;
ConsoleSession::~ConsoleSession() = default;

namespace {

// Lock-free, so the handler may touch it.
std::atomic<int> interruptions{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Counted before anything is stopped, so that a step being started at this
// moment either is found here or finds the count (run_helper_process). A
// first interruption stops the steps and leaves a clean-up to finish; a
// second Ctrl+C or kill stops everything and ends flash-card at once. A
// terminal that goes away asks for nothing more.
void on_interruption(int signal) {
  const int before = interruptions.fetch_add(1);
  if (before == 0) {
    stop_running_helpers(/*clean_ups_too=*/false);
  } else if (signal != SIGHUP) {
    stop_running_helpers(/*clean_ups_too=*/true);
    ::_exit(kExitInterrupted);
  }
}

// Ctrl+C, a kill, and the terminal going away.
void handle_interruptions_with(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  ::sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, /*oldact=*/nullptr);
}

}  // namespace

InterruptionWatch::InterruptionWatch() { handle_interruptions_with(on_interruption); }

InterruptionWatch::~InterruptionWatch() { handle_interruptions_with(SIG_DFL); }

bool interrupted() { return interruptions.load() > 0; }

}  // namespace flash
