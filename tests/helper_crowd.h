// Many helper processes at once on one simulated machine: each started with
// its own request, all held at one gate until the last is forked, so that
// they contend as a second app instance or a burst of retries would.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim_dir.h"

namespace wh::testing {

struct CrowdMember {
  pid_t pid = -1;
  std::chrono::steady_clock::duration took{};  // from the gate's opening to its exit
  int status = -1;                             // as waitpid reports it; -1 while it ran past the deadline
  std::vector<nlohmann::json> lines;           // standard output and error, one document a line
};

struct Crowd {
  std::vector<CrowdMember> members;  // in the order of the requests
  std::chrono::steady_clock::duration wall{};  // from the first fork to the last exit
  int killed = 0;  // still running at the deadline, then killed
  std::string failure;  // a host call that failed, which ends the run
};

// Runs `windows_helper --request <request>` once per request with
// WINDOWS_HELPER_SIM_DIR set to `sim`.
Crowd run_crowd(const SimDir& sim, const std::vector<std::string>& requests, std::chrono::seconds deadline);

}  // namespace wh::testing
