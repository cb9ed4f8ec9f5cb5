#include "sim_dir.h"
#include "platform/sim/sim_machine_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace wh::testing {

SimDir::SimDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "wh-sim-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

SimDir::~SimDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void SimDir::write_file(const std::string& name, const std::string& bytes) const {
  std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string SimDir::read_file(const std::string& name) const {
  std::ifstream in(file(name), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void SimDir::write_machine(const nlohmann::json& machine) const {
  write_file("machine.json", machine.dump(2));
}

void SimDir::install_fake_powershell() const {
  std::filesystem::create_symlink(FAKE_POWERSHELL_BINARY, file("powershell"));
}

void SimDir::install_powershell_script(const std::string& body) const {
  // PowerShell's environment is a Windows one; the script's host commands
  // need the host's search path, which the simulation passes aside.
  write_file("powershell", "#!/bin/sh\nPATH=\"${WINDOWS_HELPER_SIM_HOST_PATH:-$PATH}\"; export PATH\n" + body + "\n");
  ::chmod(file("powershell").c_str(), 0755);
}

std::vector<std::string> SimDir::powershell_log() const {
  std::vector<std::string> scripts;
  std::istringstream lines(read_file("powershell.log"));
  for (std::string line; std::getline(lines, line);) scripts.push_back(nlohmann::json::parse(line));
  return scripts;
}

std::vector<nlohmann::json> SimDir::powershell_environments() const {
  std::vector<nlohmann::json> environments;
  std::istringstream lines(read_file("powershell.environment.log"));
  for (std::string line; std::getline(lines, line);) environments.push_back(nlohmann::json::parse(line));
  return environments;
}

nlohmann::json SimDir::machine() const { return nlohmann::json::parse(read_file("machine.json")); }

std::vector<nlohmann::json> SimDir::events() const {
  std::vector<nlohmann::json> events;
  std::istringstream lines(read_file("events.log"));
  for (std::string line; std::getline(lines, line);) events.push_back(nlohmann::json::parse(line));
  return events;
}

sim::SimPlatform SimDir::platform() const {
  auto machine = sim::load_machine(path_);
  if (!machine) throw std::runtime_error(machine.error());
  return sim::SimPlatform(std::move(machine).value());
}

std::uint32_t raw_write_code(Handle& drive, std::uint64_t offset) {
  if (auto sought = drive.seek(offset); !sought) return sought.error().code;
  auto written = drive.write(AlignedBytes(1024, 0x5a));
  return written ? 0 : written.error().code;
}

}  // namespace wh::testing
