// The helper's standard input on the simulated Windows: descriptor 0 of the
// host process, read as the stream it is.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_handle.h"
#include "platform/sim/sim_platform.h"

namespace wh::sim {
namespace {

class SimInputHandle : public SimHandle {
 public:
  SimInputHandle(SimPlatform& platform, int fd) : SimHandle(platform, "<standard input>", "standardInput"), fd_(fd) {}
  ~SimInputHandle() override { ::close(fd_); }

  OsResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
    if (auto error = check("read")) return Err(*error);
    const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n < 0) return Err(from_errno(errno));
    return static_cast<std::size_t>(n);
  }

 private:
  int fd_;
};

}  // namespace

OsResult<HandlePtr> SimPlatform::standard_input() {
  const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return Err(from_errno(errno));
  log_event({{"op", "open"}, {"path", "<standard input>"}, {"mode", "standardInput"}});
  return HandlePtr(std::make_unique<SimInputHandle>(*this, fd));
}

}  // namespace wh::sim
