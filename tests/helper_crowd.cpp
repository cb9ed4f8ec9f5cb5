#include "helper_crowd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace wh::testing {

using Clock = std::chrono::steady_clock;

namespace {

// Waits for every started member, killing those still running at the
// deadline.
void reap(Crowd& crowd, Clock::time_point first_fork, Clock::time_point start, std::chrono::seconds deadline) {
  std::size_t waiting = crowd.members.size();
  while (waiting > 0) {
    for (CrowdMember& member : crowd.members) {
      int status = 0;
      if (member.status != -1 || ::waitpid(member.pid, &status, WNOHANG) != member.pid) continue;
      member.status = status;
      member.took = Clock::now() - start;
      --waiting;
    }
    crowd.wall = Clock::now() - first_fork;
    if (waiting > 0 && Clock::now() - start > deadline) {
      for (CrowdMember& member : crowd.members) {
        if (member.status != -1) continue;
        ::kill(member.pid, SIGKILL);
        ::waitpid(member.pid, nullptr, 0);
        ++crowd.killed;
      }
      return;
    }
    ::usleep(2000);
  }
}

}  // namespace

Crowd run_crowd(const SimDir& sim, const std::vector<std::string>& requests, std::chrono::seconds deadline) {
  Crowd crowd;
  const Clock::time_point first_fork = Clock::now();
  int gate[2];
  if (::pipe2(gate, O_CLOEXEC) != 0) {
    crowd.failure = "pipe2";
    return crowd;
  }
  std::vector<std::string> owned = requests;
  ::setenv("WINDOWS_HELPER_SIM_DIR", sim.path().c_str(), 1);
  for (std::size_t i = 0; i < owned.size() && crowd.failure.empty(); ++i) {
    const std::string out_path = sim.file("crowd-out-" + std::to_string(i));
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
      crowd.failure = "open " + out_path;
      break;
    }
    char* argv[] = {const_cast<char*>(WINDOWS_HELPER_BINARY), const_cast<char*>("--request"), owned[i].data(),
                    nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
      // Only async-signal-safe calls from here to the exec.
      char go = 0;
      ::close(gate[1]);
      if (::read(gate[0], &go, 1) != 1) ::_exit(126);
      ::dup2(out, 1);
      ::dup2(out, 2);  // the protocol writes nothing there; a line would show
      ::execv(argv[0], argv);
      ::_exit(127);
    }
    ::close(out);
    if (pid < 0) crowd.failure = "fork";
    else crowd.members.push_back({.pid = pid});
  }
  ::unsetenv("WINDOWS_HELPER_SIM_DIR");
  // One byte each: those forked early and those still starting all pass.
  const std::string go(crowd.members.size(), 'g');
  const Clock::time_point start = Clock::now();
  if (::write(gate[1], go.data(), go.size()) != static_cast<ssize_t>(go.size())) crowd.failure = "write gate";
  ::close(gate[0]);
  ::close(gate[1]);  // a member left without its byte reads the end and exits
  reap(crowd, first_fork, start, deadline);
  for (std::size_t i = 0; i < crowd.members.size(); ++i) {
    std::istringstream out(sim.read_file("crowd-out-" + std::to_string(i)));
    for (std::string line; std::getline(out, line);) {
      crowd.members[i].lines.push_back(nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false));
    }
  }
  return crowd;
}

}  // namespace wh::testing
