// Starting processes on the simulated Windows: real host child processes,
// with both output pipes drained together by poll(2).
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_platform.h"
#include "platform/unicode.h"

extern char** environ;

namespace wh::sim {
namespace {

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

struct Pipe {
  Fd read_end;
  Fd write_end;
};

OsStatus make_pipe(Pipe& pipe) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Err(from_errno(errno));
  pipe.read_end.reset(fds[0]);
  pipe.write_end.reset(fds[1]);
  return {};
}

// Reads both pipes to their ends at once, so that a child filling one of them
// never waits for us to finish the other.
OsStatus drain(Fd& out, Fd& err, std::string& out_text, std::string& err_text) {
  char buffer[65536];
  struct Stream {
    Fd& fd;
    std::string& text;
  } streams[2] = {{out, out_text}, {err, err_text}};
  while (out.get() >= 0 || err.get() >= 0) {
    pollfd fds[2];
    for (int i = 0; i < 2; ++i) fds[i] = {streams[i].fd.get(), POLLIN, 0};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return Err(from_errno(errno));
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        streams[i].text.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        streams[i].fd.reset();
      }
    }
  }
  return {};
}

}  // namespace

OsResult<ProcessOutput> SimPlatform::run_process(const std::string& executable,
                                                 const std::vector<std::string>& arguments) {
  return spawn(executable, arguments, nullptr);
}

OsResult<ProcessOutput> SimPlatform::run_process_in_environment(const std::string& executable,
                                                                const std::vector<std::string>& arguments,
                                                                const std::vector<std::string>& environment) {
  return spawn(executable, arguments, &environment);
}

OsResult<ProcessOutput> SimPlatform::spawn(const std::string& executable, const std::vector<std::string>& arguments,
                                           const std::vector<std::string>* environment) {
  if (executable.find('\0') != std::string::npos) return Err(win32_error(kErrorInvalidName));
  // The one Windows program the helper starts lives in the sim directory,
  // standing where the machine's system directory keeps PowerShell.
  std::string host = executable;
  if (ascii_lower(executable) == ascii_lower(*system_directory() + std::string(kPowerShellInSystemDirectory))) {
    if (machine.directory.empty()) return Err(win32_error(kErrorFileNotFound));
    host = machine.directory + "/powershell";
  }
  // A Windows block, and what the host programs behind the stand-in
  // (mtools, mkfs.exfat) need of the host's own, which no Windows program
  // would see: the search path, and the fixed clock and zone of a run whose
  // file times must repeat.
  std::vector<std::string> variables;
  std::vector<char*> envp;
  if (environment != nullptr) {
    variables = *environment;
    for (const char* name : {"PATH", "SOURCE_DATE_EPOCH", "TZ"}) {
      if (const char* value = std::getenv(name)) {
        variables.push_back(std::string("WINDOWS_HELPER_SIM_HOST_") + name + "=" + value);
      }
    }
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
  }

  Pipe out, err;
  if (auto made = make_pipe(out); !made) return Err(made.error());
  if (auto made = make_pipe(err); !made) return Err(made.error());

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write_end.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.write_end.get(), 2);

  std::vector<char*> argv;
  argv.push_back(host.data());
  std::vector<std::string> owned = arguments;
  for (std::string& argument : owned) argv.push_back(argument.data());
  argv.push_back(nullptr);

  log_event({{"op", "process"}, {"executable", executable}});
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, host.c_str(), &actions, /*attrp=*/nullptr, argv.data(),
                                    environment != nullptr ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return Err(from_errno(spawned));

  // Only the child keeps the write ends; end of data then means it has exited
  // (or closed them).
  out.write_end.reset();
  err.write_end.reset();
  ProcessOutput result;
  const OsStatus drained = drain(out.read_end, err.read_end, result.standard_output, result.standard_error);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // The child may have changed the machine (PowerShell takes disks offline,
  // removes letters, formats).
  reload();
  if (!drained) return Err(drained.error());
  if (WIFEXITED(status)) {
    result.exit_code = static_cast<std::uint32_t>(WEXITSTATUS(status));
  } else {
    result.exit_code = 128 + static_cast<std::uint32_t>(WTERMSIG(status));  // never 0
  }
  return result;
}

}  // namespace wh::sim
