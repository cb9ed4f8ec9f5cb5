#include "wine_support.h"

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "platform/entry.h"

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

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace wh::wine
