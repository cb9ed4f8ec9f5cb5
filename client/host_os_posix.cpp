#include <unistd.h>

#include <filesystem>

#include "host_os.h"

namespace flash {

bool is_terminal(Stream stream) { return ::isatty(stream == Stream::kInput ? 0 : 1) == 1; }

std::string own_executable_path() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string helper_file_name() { return "windows_helper"; }

// A POSIX terminal takes the bytes as they are.
ConsoleSession::ConsoleSession() = default;
ConsoleSession::~ConsoleSession() = default;

}  // namespace flash
