// A stand-in for powershell.exe on the simulated Windows. The helper starts it
// as "<sim dir>/powershell" with the same six arguments it gives the real one.
// It logs every script it receives to powershell.log, and the environment it
// received to powershell.environment.log (one JSON object a line, without the
// simulation's WINDOWS_HELPER_SIM_HOST_* variables: the host's search path,
// clock and zone, which it restores for mtools and mkfs.exfat), then answers:
//
//   "powershell": {
//     "fail": {"exitCode": 1, "stderr": "..."},             // every script fails
//     "responses": [{"scriptContains": "...", "stdout": "...",
//                    "stderr": "...", "exitCode": 0}],      // first match wins
//     "cmdletFailures": [{"cmdlet": "Set-Disk", "parameter": "IsReadOnly",
//                         "message": "Not Supported"}]
//   }
//
// and otherwise as a Windows machine would, for exactly the scripts the
// helper sends: the administrator check, the two disk listings and the four
// disk scripts, whose effects (a disk offline, letters removed, a card
// reformatted) it writes back to machine.json and to events.log. Any other
// script fails with exit code 1.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_events.h"
#include "platform/sim/sim_machine_file.h"
#include "platform/sim/sim_machine_lock.h"
#include "platform/sim/sim_machine.h"
#include "ps_scripts.h"
#include "storage_model.h"

extern char** environ;

namespace {

using nlohmann::json;
using wh::tools::Outcome;

const char* const kFixedArguments[] = {"-NoProfile", "-NonInteractive", "-ExecutionPolicy",
                                       "Bypass", "-Command"};

// The simulated Windows starts us by our path inside the sim directory.
std::string sim_directory(const char* argv0) {
  const std::string self = argv0;
  const auto slash = self.rfind('/');
  if (slash != std::string::npos) return self.substr(0, slash);
  const char* dir = std::getenv("WINDOWS_HELPER_SIM_DIR");
  return dir != nullptr && *dir != '\0' ? dir : ".";
}

// Records the environment this process got, then puts the host's own
// variables back in place for the host programs the disk scripts run.
void record_environment(const std::string& dir) {
  constexpr std::string_view kHost = "WINDOWS_HELPER_SIM_HOST_";
  json variables = json::object();
  std::vector<std::pair<std::string, std::string>> host;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    const std::size_t equals = text.find('=');
    const std::string value(equals == std::string_view::npos ? "" : text.substr(equals + 1));
    if (text.starts_with(kHost) && equals != std::string_view::npos) {
      host.emplace_back(text.substr(kHost.size(), equals - kHost.size()), value);
      continue;
    }
    variables[std::string(text.substr(0, equals))] = value;
  }
  std::ofstream(dir + "/powershell.environment.log", std::ios::app | std::ios::binary)
      << variables.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
  if (host.empty()) return;
  // A Windows TEMP means nothing here: the host's own temporary folder.
  ::unsetenv("TEMP");
  ::unsetenv("TMP");
  for (const auto& [name, value] : host) ::setenv(name.c_str(), value.c_str(), 1);
}

// Writes the answer the way powershell.exe does: text as given, exit code.
int answer(const Outcome& outcome) {
  std::fwrite(outcome.standard_output.data(), 1, outcome.standard_output.size(), stdout);
  std::fwrite(outcome.standard_error.data(), 1, outcome.standard_error.size(), stderr);
  return outcome.exit_code;
}

// A canned reply from machine.json; odd members count as absent.
Outcome canned(const json& reply) {
  Outcome outcome;
  if (!reply.is_object()) return {1, "", ""};
  const auto text = [&](const char* name) {
    auto it = reply.find(name);
    return it != reply.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  outcome.standard_output = text("stdout");
  outcome.standard_error = text("stderr");
  auto code = reply.find("exitCode");
  outcome.exit_code = code != reply.end() && code->is_number_integer() ? code->get<int>() : 0;
  return outcome;
}

std::optional<Outcome> overridden(const json& powershell, const std::string& script) {
  if (!powershell.is_object()) return std::nullopt;
  if (powershell.contains("fail")) return canned(powershell["fail"]);
  const json responses = powershell.value("responses", json::array());
  if (!responses.is_array()) return std::nullopt;
  for (const json& reply : responses) {
    if (!reply.is_object()) continue;
    const json contains = reply.value("scriptContains", json(""));
    if (contains.is_string() && script.find(contains.get<std::string>()) != std::string::npos) return canned(reply);
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::cerr << "fake-powershell: expected 6 arguments, got " << argc - 1 << "\n";
    return 64;
  }
  for (int i = 0; i < 5; ++i) {
    if (std::string(argv[i + 1]) != kFixedArguments[i]) {
      std::cerr << "fake-powershell: argument " << i + 1 << " is not " << kFixedArguments[i] << "\n";
      return 64;
    }
  }
  const std::string script = argv[6];
  const std::string dir = sim_directory(argv[0]);
  {
    std::ofstream log(dir + "/powershell.log", std::ios::app | std::ios::binary);
    log << json(script).dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
  }
  record_environment(dir);

  // From reading the machine to writing it back, no other process changes
  // it: a helper mounting a card meanwhile would be undone.
  const wh::sim::MachineLock lock(dir);
  auto machine = wh::sim::load_machine(dir);
  if (!machine) {
    std::cerr << "fake-powershell: " << machine.error() << "\n";
    return 1;
  }
  if (auto reply = overridden(machine->powershell, script)) return answer(*reply);

  const auto recognised = wh::tools::recognise_script(script);
  if (!recognised) {
    std::cerr << "fake-powershell: no answer for this script\n";
    return 1;
  }
  if (recognised->kind == wh::tools::ScriptKind::kElevationCheck) {
    return answer({0, machine->elevated ? "True\r\n" : "False\r\n", ""});
  }
  wh::tools::StorageModel model(*machine);
  const Outcome outcome = model.run(*recognised);
  const bool changes_disks = recognised->kind != wh::tools::ScriptKind::kProtectedDisks &&
                             recognised->kind != wh::tools::ScriptKind::kDiskListing;
  // What a failing script did before it stopped stays done, as on Windows.
  if (changes_disks) {
    if (auto saved = wh::sim::save_machine(*machine); !saved) {
      std::cerr << "fake-powershell: " << saved.error() << "\n";
      return 1;
    }
  }
  wh::sim::append_event(dir, {{"op", "powershell"}, {"script", wh::tools::script_name(recognised->kind)},
                              {"exitCode", outcome.exit_code}});
  return answer(outcome);
}
