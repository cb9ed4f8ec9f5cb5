// posix_spawn with the child's standard input and output on pipes, the
// input written by a thread of its own while this one reads the output;
// standard error and the environment (which carries WINDOWS_HELPER_SIM_DIR to
// the simulated Windows) are inherited.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <system_error>
#include <thread>

#include "helper_process.h"
#include "host_os.h"

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

// The running helpers' process groups (several cards are flashed at once),
// 0 in a free slot, steps and clean-ups apart. Read by the signal handler:
// lock-free atomics only.
constexpr std::size_t kSlots = 64;
std::array<std::atomic<pid_t>, kSlots> running_steps{}, running_clean_ups{};
static_assert(std::atomic<pid_t>::is_always_lock_free);

void kill_groups(std::array<std::atomic<pid_t>, kSlots>& slots) {
  for (auto& slot : slots) {
    const pid_t group = slot.load();
    if (group > 0) ::kill(-group, SIGKILL);
  }
}

// Holds a helper's group in a slot for as long as it runs.
class RunningGroup {
 public:
  RunningGroup(pid_t group, HelperRole role) {
    for (auto& slot : role == HelperRole::kStep ? running_steps : running_clean_ups) {
      pid_t free = 0;
      if (slot.compare_exchange_strong(free, group)) {
        slot_ = &slot;
        return;
      }
    }
  }
  RunningGroup(const RunningGroup&) = delete;
  RunningGroup& operator=(const RunningGroup&) = delete;
  ~RunningGroup() {
    if (slot_ != nullptr) slot_->store(0);
  }

 private:
  std::atomic<pid_t>* slot_ = nullptr;
};

class SpawnAttributes {
 public:
  SpawnAttributes() {
    ok_ = ::posix_spawnattr_init(&attributes_) == 0 &&
          ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETPGROUP) == 0 &&
          ::posix_spawnattr_setpgroup(&attributes_, /*pgroup=*/0) == 0;  // a group of its own
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  bool ok() const { return ok_; }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool ok_ = false;
};

// Writes `input` to `fd` and closes it. A child that has closed its end
// makes the write fail with EPIPE: SIGPIPE is held back on this thread and
// taken off again, so that it never ends flash-card.
void feed(Fd& fd, const std::string& input) {
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  sigset_t before;
  ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
  for (std::size_t done = 0; done < input.size();) {
    const ssize_t put = ::write(fd.get(), input.data() + done, input.size() - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
    } else if (put < 0 && errno == EPIPE) {
      const timespec now{};
      ::sigtimedwait(&pipe_signal, /*info=*/nullptr, &now);
      break;
    } else if (put < 0 && errno != EINTR) {
      break;
    }
  }
  fd.reset();
  ::pthread_sigmask(SIG_SETMASK, &before, /*oldset=*/nullptr);
}

}  // namespace

void stop_running_helpers(bool clean_ups_too) noexcept {
  kill_groups(running_steps);
  if (clean_ups_too) kill_groups(running_clean_ups);
}

wh::Result<std::uint32_t, std::string> run_helper_process(const std::string& program,
                                                          const std::vector<std::string>& arguments,
                                                          const std::string& input, const LineSink& on_line,
                                                          HelperRole role) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return wh::Err(describe("cannot make a pipe", errno));
  Fd read_end(ends[0]);
  Fd write_end(ends[1]);
  if (::pipe2(ends, O_CLOEXEC) != 0) return wh::Err(describe("cannot make a pipe", errno));
  Fd input_read(ends[0]);
  Fd input_write(ends[1]);

  SpawnActions actions;
  SpawnAttributes attributes;
  if (!actions.ok() || !attributes.ok()) return wh::Err(std::string("cannot prepare the helper's start"));
  if (::posix_spawn_file_actions_adddup2(actions.get(), input_read.get(), 0) != 0 ||
      ::posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), 1) != 0) {
    return wh::Err(std::string("cannot prepare the helper's start"));
  }

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t child = 0;
  const int spawned = ::posix_spawn(&child, program.c_str(), actions.get(), attributes.get(), argv.data(), environ);
  write_end.reset();  // only the child holds it now: the reads end when it does
  input_read.reset();
  if (spawned != 0) return wh::Err(describe("cannot start " + program, spawned));
  const RunningGroup published(child, role);
  // An interruption whose handler looked for steps before this one was
  // published has been counted by now (the handler counts first): the step
  // goes before it gets to its work. POSIX cannot start a child suspended,
  // so this comes a moment after the start, while the helper is still
  // loading.
  if (role == HelperRole::kStep && interrupted()) ::kill(-child, SIGKILL);
  std::thread writer;
  try {
    writer = std::thread(feed, std::ref(input_write), std::cref(input));
  } catch (const std::system_error&) {
    feed(input_write, input);  // no thread to be had: the pipe's buffer must do
  }

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
  if (writer.joinable()) writer.join();

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
