#include "platform/sim/sim_machine_file.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/sim/sim_json.h"

namespace wh::sim {
namespace {

using nlohmann::json;
using detail::file_path;
using detail::host_path;

std::uint32_t attribute_bits(const json& names) {
  std::uint32_t bits = 0;
  for (const json& name : names) {
    const std::string text = name.get<std::string>();
    if (text == "readOnly") bits |= kAttributeReadOnly;
    else if (text == "hidden") bits |= kAttributeHidden;
    else if (text == "system") bits |= kAttributeSystem;
    else throw std::invalid_argument("unknown file attribute " + text);
  }
  return bits;
}

}  // namespace

Result<SimMachine, std::string> machine_from_json(const json& document, const std::string& directory) {
  try {
    SimMachine machine;
    machine.directory = directory;
    machine.elevated = document.value("elevated", false);
    machine.sleep_scale = std::clamp(document.value("sleepScale", 1.0), 0.0, 1.0);
    machine.ms_per_mib = document.value("msPerMiB", 0.0);
    if (!(machine.ms_per_mib >= 0.0)) throw std::invalid_argument("msPerMiB must not be negative");
    for (const json& d : document.value("drives", json::array())) machine.drives.push_back(detail::drive_from_json(d, directory));
    for (const json& v : document.value("volumes", json::array())) machine.volumes.push_back(detail::volume_from_json(v, directory));
    for (const json& f : document.value("faults", json::array())) machine.faults.push_back(detail::fault_from_json(f, directory));
    const json attributes = document.value("fileAttributes", json::object());
    for (const auto& [path, names] : attributes.items()) {
      machine.file_attributes[host_path(directory, path)] = attribute_bits(names);
    }
    machine.windows_directory = document.value("windowsDirectory", machine.windows_directory);
    machine.powershell = document.value("powershell", json());
    for (const json& prefix : document.value("userDeniedPaths", json::array())) {
      machine.user_denied_paths.push_back(host_path(directory, prefix.get<std::string>()));
    }
    for (const SimDrive& d : machine.drives) {
      if (d.host_volume && find_volume(machine, *d.host_volume) == nullptr) {
        throw std::invalid_argument("drive " + std::to_string(d.number) + ": hostVolume names no volume");
      }
    }
    return machine;
  } catch (const std::exception& e) {
    return Err(std::string("machine.json: ") + e.what());
  }
}

Result<SimMachine, std::string> load_machine(const std::string& directory) {
  const std::string path = directory + "/machine.json";
  std::ifstream file(path, std::ios::binary);
  if (!file) return Err("cannot read " + path);
  std::stringstream text;
  text << file.rdbuf();
  json document = json::parse(text.str(), /*cb=*/nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return Err(path + " is not valid JSON");
  return machine_from_json(document, directory);
}

json machine_to_json(const SimMachine& machine) {
  const std::string& dir = machine.directory;
  json document = {{"elevated", machine.elevated}, {"sleepScale", machine.sleep_scale},
                   {"drives", json::array()}, {"volumes", json::array()}, {"faults", json::array()}};
  if (machine.ms_per_mib != 0.0) document["msPerMiB"] = machine.ms_per_mib;
  if (machine.windows_directory != SimMachine{}.windows_directory) {
    document["windowsDirectory"] = machine.windows_directory;
  }
  for (const SimDrive& d : machine.drives) document["drives"].push_back(detail::drive_to_json(d, dir));
  for (const SimVolume& v : machine.volumes) document["volumes"].push_back(detail::volume_to_json(v, dir));
  for (const SimFault& f : machine.faults) {
    if (!f.used) document["faults"].push_back(detail::fault_to_json(f, dir));
  }
  if (!machine.file_attributes.empty()) {
    json attributes = json::object();
    for (const auto& [path, bits] : machine.file_attributes) {
      json names = json::array();
      if (bits & kAttributeReadOnly) names.push_back("readOnly");
      if (bits & kAttributeHidden) names.push_back("hidden");
      if (bits & kAttributeSystem) names.push_back("system");
      attributes[file_path(dir, path)] = names;
    }
    document["fileAttributes"] = attributes;
  }
  if (!machine.powershell.is_null()) document["powershell"] = machine.powershell;
  if (!machine.user_denied_paths.empty()) {
    json prefixes = json::array();
    for (const std::string& prefix : machine.user_denied_paths) prefixes.push_back(file_path(dir, prefix));
    document["userDeniedPaths"] = prefixes;
  }
  return document;
}

Result<void, std::string> save_machine(const SimMachine& machine) {
  if (machine.directory.empty()) return {};
  const std::string path = machine.directory + "/machine.json";
  // One temporary name per process, so that a reader never sees half a file.
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << machine_to_json(machine).dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    if (!out.flush()) return Err("cannot write " + temporary);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return Err("cannot replace " + path);
  }
  return {};
}

}  // namespace wh::sim
