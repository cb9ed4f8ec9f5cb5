// A stand-in for powershell.exe on the simulated Windows. The helper starts it
// as "<sim dir>/powershell" with the same six arguments it gives the real one.
// It logs every script it receives, then answers from machine.json:
//
//   "powershell": {
//     "fail": {"exitCode": 1, "stderr": "..."},             // every script fails
//     "responses": [{"scriptContains": "...", "stdout": "...",
//                    "stderr": "...", "exitCode": 0}]       // first match wins
//   }
//
// and otherwise knows the scripts of a Windows machine (so far the
// administrator check, answered from "elevated").
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

const char* const kFixedArguments[] = {"-NoProfile", "-NonInteractive", "-ExecutionPolicy",
                                       "Bypass", "-Command"};

const char* const kElevationScript =
    "([Security.Principal.WindowsPrincipal] "
    "[Security.Principal.WindowsIdentity]::GetCurrent()).IsInRole("
    "[Security.Principal.WindowsBuiltInRole]::Administrator)";

// The simulated Windows starts us by our path inside the sim directory.
std::string sim_directory(const char* argv0) {
  const std::string self = argv0;
  const auto slash = self.rfind('/');
  if (slash != std::string::npos) return self.substr(0, slash);
  const char* dir = std::getenv("WINDOWS_HELPER_SIM_DIR");
  return dir != nullptr && *dir != '\0' ? dir : ".";
}

json read_machine(const std::string& dir) {
  std::ifstream file(dir + "/machine.json", std::ios::binary);
  if (!file) return json::object();
  std::stringstream text;
  text << file.rdbuf();
  json machine = json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  return machine.is_object() ? machine : json::object();
}

// Writes the answer the way powershell.exe does: text as given, exit code.
int answer(const json& reply) {
  const std::string out = reply.value("stdout", "");
  const std::string err = reply.value("stderr", "");
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fwrite(err.data(), 1, err.size(), stderr);
  return reply.value("exitCode", 0);
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
    log << json(script).dump() << "\n";
  }

  const json machine = read_machine(dir);
  const json powershell = machine.value("powershell", json::object());
  if (powershell.contains("fail")) return answer(powershell["fail"]);
  for (const json& reply : powershell.value("responses", json::array())) {
    if (script.find(reply.value("scriptContains", "")) != std::string::npos) return answer(reply);
  }
  if (script == kElevationScript) {
    std::cout << (machine.value("elevated", false) ? "True" : "False") << "\r\n";
    return 0;
  }
  std::cerr << "fake-powershell: no answer for this script\n";
  return 1;
}
