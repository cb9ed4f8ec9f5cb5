#include "wine_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <windows.h>

#include "platform/entry.h"
#include "platform/unicode.h"

namespace wh::wine {

std::string windows_path(const std::string& host_path) {
  std::string path = "Z:" + host_path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

Platform& platform() {
  static const std::unique_ptr<Platform> instance = [] {
    auto made = make_platform();
    if (!made) throw std::runtime_error(made.error());
    return std::move(made).value();
  }();
  return *instance;
}

ProcessOutput run_helper(const std::vector<std::string>& arguments) {
  auto output = platform().run_process(windows_path(HELPER_EXE), arguments);
  if (!output) throw std::runtime_error("cannot start the helper: " + output.error().text());
  return std::move(output).value();
}

std::string scratch(const std::string& name) { return windows_path(SCRATCH_DIR) + "\\" + name; }

namespace {

// A UTF-8 path as the wide one Windows takes: the narrow opens would read it
// in the ANSI code page.
std::filesystem::path wide_path(const std::string& path) {
  const std::u16string utf16 = utf8_to_utf16(path);
  return std::filesystem::path(std::wstring(utf16.begin(), utf16.end()));
}

}  // namespace

std::string read_file(const std::string& path) {
  std::ifstream in(wide_path(path), std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(wide_path(path), std::ios::binary | std::ios::trunc) << bytes;
}

void protect_from_user(const std::string& path) {
  if (path.rfind("Z:\\", 0) != 0) throw std::runtime_error("not on the host's drive: " + path);
  std::string unix_path = path.substr(2);
  std::replace(unix_path.begin(), unix_path.end(), '\\', '/');
  // Straight through CreateProcessW: the process runner's job object and
  // pipes are for Windows programs. Wine does not wait for a Unix program,
  // so the read-only attribute, set last, tells when it is done.
  const std::u16string command =
      utf8_to_utf16("Z:\\bin\\sh -c \"chown 65534:65534 '" + unix_path + "' && chmod 0444 '" + unix_path + "'\"");
  std::wstring line(command.begin(), command.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(/*lpApplicationName=*/nullptr, line.data(), /*lpProcessAttributes=*/nullptr,
                        /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/FALSE, /*dwCreationFlags=*/0,
                        /*lpEnvironment=*/nullptr, /*lpCurrentDirectory=*/nullptr, &startup, &process)) {
    throw std::runtime_error("cannot start /bin/sh for " + path);
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  for (int tries = 0; tries < 200; ++tries) {
    const DWORD attributes = ::GetFileAttributesW(wide_path(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return;
    ::Sleep(50);
  }
  throw std::runtime_error("could not protect " + path);
}

}  // namespace wh::wine
