// The event log of the simulated Windows: `events.log` in the sim directory,
// one JSON object per line, appended by every process that acts on the
// machine (the helper's simulated platform and the PowerShell stand-in).
// Tests that run the real helper read it to check the order of what was
// done, across processes.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace wh::sim {

inline constexpr const char* kEventLogName = "events.log";

// Appends `event` with the member "process" (this process's id) added. A
// machine without a directory keeps no log: nothing is written.
void append_event(const std::string& directory, nlohmann::json event);

}  // namespace wh::sim
