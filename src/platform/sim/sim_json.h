// Pieces shared by the readers and writers of machine.json: host paths
// relative to the sim directory, optional members, hexadecimal bytes, and
// the drives, volumes and faults in and out of JSON.
// Internal to the simulated machine's library.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_machine.h"

namespace wh::sim::detail {

// A path from machine.json as a host path: relative ones are taken inside
// the sim directory.
std::string host_path(const std::string& directory, const std::string& path);

// The path as machine.json gives it: relative again inside the directory.
std::string file_path(const std::string& directory, const std::string& host);

template <typename T>
std::optional<T> optional_member(const nlohmann::json& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end() || it->is_null()) return std::nullopt;
  return it->get<T>();
}

// Throws std::invalid_argument naming `member` for an odd length or a
// character that is not a hexadecimal digit.
Bytes bytes_from_hex(const std::string& hex, const char* member);
std::string hex_from_bytes(const Bytes& bytes);

// One entry of "drives", "volumes" or "faults", and back.
SimDrive drive_from_json(const nlohmann::json& d, const std::string& directory);
nlohmann::json drive_to_json(const SimDrive& drive, const std::string& directory);
SimVolume volume_from_json(const nlohmann::json& v, const std::string& directory);
nlohmann::json volume_to_json(const SimVolume& volume, const std::string& directory);
SimFault fault_from_json(const nlohmann::json& f, const std::string& directory);
nlohmann::json fault_to_json(const SimFault& fault, const std::string& directory);

}  // namespace wh::sim::detail
