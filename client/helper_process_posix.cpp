// posix_spawn with the child's standard output on a pipe and its standard
// input on /dev/null; standard error and the environment (which carries
// WINDOWS_HELPER_SIM_DIR to the simulated Windows) are inherited.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "helper_process.h"

extern char** environ;

namespace flash {
namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

class SpawnActions {
 public:
  SpawnActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

std::string describe(const std::string& what, int error) { return what + ": " + std::strerror(error); }

}  // namespace

wh::Result<std::uint32_t, std::string> run_helper_process(const std::string& program,
                                                          const std::vector<std::string>& arguments,
                                                          const LineSink& on_line) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return wh::Err(describe("cannot make a pipe", errno));
  Fd read_end(ends[0]);
  Fd write_end(ends[1]);

  SpawnActions actions;
  if (!actions.ok()) return wh::Err(std::string("cannot prepare the helper's start"));
  if (::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0) != 0 ||
      ::posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), 1) != 0) {
    return wh::Err(std::string("cannot prepare the helper's start"));
  }

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t child = 0;
  const int spawned = ::posix_spawn(&child, program.c_str(), actions.get(), /*attrp=*/nullptr, argv.data(), environ);
  write_end.reset();  // only the child holds it now: the reads end when it does
  if (spawned != 0) return wh::Err(describe("cannot start " + program, spawned));

  LineSplitter lines(on_line);
  std::string read_error;
  char buffer[65536];
  while (true) {
    const ssize_t got = ::read(read_end.get(), buffer, sizeof buffer);
    if (got > 0) {
      lines.feed(std::string_view(buffer, static_cast<std::size_t>(got)));
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      read_error = describe("cannot read the helper's output", errno);
      break;
    }
  }
  lines.finish();
  read_end.reset();

  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return wh::Err(describe("cannot wait for the helper", errno));
  }
  if (!read_error.empty()) return wh::Err(read_error);
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  // Killed by a signal: report it the way a shell does.
  return static_cast<std::uint32_t>(128 + WTERMSIG(status));
}

}  // namespace flash
