// fault-helper: stands in for windows_helper in front of the reference client
// and injects one fault into the simulated machine for the length of one
// command's helper process, then takes it out again. The fault matrix uses it
// to reach every step of the client's course without changing the client.
//
// Environment (all but the first optional):
//   FAULT_HELPER_REAL            the real windows_helper
//   FAULT_HELPER_COMMAND         the command to inject into ("" for none)
//   FAULT_HELPER_PATCH           JSON object: its "faults" are appended to
//                                machine.json's, its other members replace
//                                those of machine.json
//   FAULT_HELPER_HIDE_POWERSHELL "1": powershell.exe is missing meanwhile
//   FAULT_HELPER_KILL_AT         SIGKILL the helper at its first progress line
//                                with at least this many bytes processed
// The request comes as the client sends it, inline or on standard input
// ("--request-stdin"), and goes on to the real helper the same way.
// Every helper process it starts is recorded in matrix.log in the sim
// directory: {"command", "helper": pid, "injected", "killed"}.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

json read_json(const std::string& path) {
  std::ifstream in(path);
  return json::parse(in);
}

void write_json(const std::string& path, const json& value) {
  const std::string temporary = path + ".fault-helper";
  std::ofstream(temporary) << value.dump(2) << '\n';
  std::rename(temporary.c_str(), path.c_str());
}

// What injecting changed, so that it can be put back.
struct Injection {
  json faults_before;
  json members_before = json::object();  // null: the member was absent
  bool hid_powershell = false;
};

Injection inject(const std::string& dir, const json& patch, bool hide_powershell) {
  Injection injection;
  json machine = read_json(dir + "/machine.json");
  injection.faults_before = machine.value("faults", json::array());
  for (const auto& [key, value] : patch.items()) {
    if (key == "faults") {
      for (const json& fault : value) machine["faults"].push_back(fault);
      continue;
    }
    injection.members_before[key] = machine.contains(key) ? machine[key] : json();
    machine[key] = value;
  }
  write_json(dir + "/machine.json", machine);
  if (hide_powershell) {
    injection.hid_powershell = std::rename((dir + "/powershell").c_str(), (dir + "/powershell.hidden").c_str()) == 0;
  }
  return injection;
}

// Keeps what the helper and PowerShell changed; takes out only the fault.
void withdraw(const std::string& dir, const Injection& injection) {
  json machine = read_json(dir + "/machine.json");
  machine["faults"] = injection.faults_before;
  for (const auto& [key, value] : injection.members_before.items()) {
    if (value.is_null()) {
      machine.erase(key);
    } else {
      machine[key] = value;
    }
  }
  write_json(dir + "/machine.json", machine);
  if (injection.hid_powershell) std::rename((dir + "/powershell.hidden").c_str(), (dir + "/powershell").c_str());
}

bool has_argument(int argc, char** argv, const std::string& wanted) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == wanted) return true;
  }
  return false;
}

// The request's command, from "--request <json>" or from the text the client
// sent on standard input ("--request-stdin").
std::string command_of(int argc, char** argv, const std::string& input) {
  std::string text = input;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--request") text = argv[i + 1];
  }
  const json request = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (request.is_object() && request.contains("command") && request["command"].is_string()) return request["command"];
  return "";
}

// Hands the request on to the real helper's standard input.
void pass_on(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put <= 0) break;  // the helper stopped reading; SIGPIPE is ignored here
    done += static_cast<std::size_t>(put);
  }
  ::close(fd);
}

// Copies the helper's lines to our stdout as they come, and kills it at the
// first progress line that has processed `kill_at` bytes. True if it did.
bool relay(int from, pid_t helper, std::optional<std::uint64_t> kill_at) {
  FILE* lines = ::fdopen(from, "r");
  char* line = nullptr;
  std::size_t capacity = 0;
  bool killed = false;
  while (::getline(&line, &capacity, lines) > 0) {
    std::fputs(line, stdout);
    std::fflush(stdout);
    if (!kill_at || killed) continue;
    const json parsed = json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object() || parsed.value("event", "") != "progress") continue;
    if (parsed.value("bytesProcessed", std::uint64_t{0}) < *kill_at) continue;
    ::kill(helper, SIGKILL);
    killed = true;
  }
  std::free(line);
  std::fclose(lines);
  return killed;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string real = env("FAULT_HELPER_REAL");
  const std::string dir = env("WINDOWS_HELPER_SIM_DIR");
  if (real.empty() || dir.empty()) {
    std::cerr << "fault-helper: FAULT_HELPER_REAL and WINDOWS_HELPER_SIM_DIR must be set\n";
    return 2;
  }
  std::string input;
  const bool from_stdin = has_argument(argc, argv, "--request-stdin");
  if (from_stdin) {
    std::ostringstream text;
    text << std::cin.rdbuf();
    input = text.str();
  }
  ::signal(SIGPIPE, SIG_IGN);
  const std::string command = command_of(argc, argv, input);
  const bool injecting = !command.empty() && command == env("FAULT_HELPER_COMMAND");
  std::optional<std::uint64_t> kill_at;
  if (injecting && !env("FAULT_HELPER_KILL_AT").empty()) kill_at = std::stoull(env("FAULT_HELPER_KILL_AT"));
  int pipe_fds[2];
  int input_fds[2];
  if (::pipe(pipe_fds) != 0 || ::pipe(input_fds) != 0) return 2;
  std::optional<Injection> injection;
  if (injecting) {
    const std::string patch = env("FAULT_HELPER_PATCH");
    injection = inject(dir, patch.empty() ? json::object() : json::parse(patch), env("FAULT_HELPER_HIDE_POWERSHELL") == "1");
  }
  const pid_t helper = ::fork();
  if (helper < 0) {
    // No helper ran: the machine goes back as it was, and the client sees
    // a helper that gave no answer.
    if (injection) withdraw(dir, *injection);
    return 2;
  }
  if (helper == 0) {
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    if (from_stdin) ::dup2(input_fds[0], STDIN_FILENO);
    ::close(input_fds[0]);
    ::close(input_fds[1]);
    ::signal(SIGPIPE, SIG_DFL);
    argv[0] = const_cast<char*>(real.c_str());
    ::execv(real.c_str(), argv);
    _exit(127);
  }
  ::close(pipe_fds[1]);
  ::close(input_fds[0]);
  pass_on(input_fds[1], input);
  const bool killed = relay(pipe_fds[0], helper, kill_at);
  int status = 0;
  ::waitpid(helper, &status, 0);
  if (injection) withdraw(dir, *injection);
  std::ofstream(dir + "/matrix.log", std::ios::app)
      << json{{"command", command}, {"helper", helper}, {"injected", injecting}, {"killed", killed}}.dump() << '\n';

  if (WIFSIGNALED(status)) {
    // The client must see what the app would: a helper that died.
    ::signal(WTERMSIG(status), SIG_DFL);
    ::raise(WTERMSIG(status));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
