// machine.json, the simulated machine's state across processes: the helper's
// simulated platform and the PowerShell stand-in both read it and write back
// what they change, through the functions below.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "platform/result.h"
#include "platform/sim/sim_machine.h"

namespace wh::sim {

// Reads `machine.json` from `directory`; relative host paths in it are taken
// relative to `directory`.
Result<SimMachine, std::string> load_machine(const std::string& directory);

// The same from a parsed document (for tests that build machines in memory).
Result<SimMachine, std::string> machine_from_json(const nlohmann::json& document,
                                                  const std::string& directory);

// The document that `machine_from_json` reads back as `machine`; host paths
// inside the machine's directory are written relative to it again.
nlohmann::json machine_to_json(const SimMachine& machine);

// Replaces `machine.json` in the machine's directory atomically (a temporary
// file renamed over it). A machine without a directory has no file: nothing
// is written.
Result<void, std::string> save_machine(const SimMachine& machine);

}  // namespace wh::sim
