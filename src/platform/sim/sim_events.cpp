#include "platform/sim/sim_events.h"

#include <fcntl.h>
#include <unistd.h>

namespace wh::sim {

void append_event(const std::string& directory, nlohmann::json event) {
  if (directory.empty()) return;
  event["process"] = static_cast<long long>(::getpid());
  const std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  // One write to a file opened for appending: lines of different processes
  // never interleave.
  const int fd = ::open((directory + "/" + kEventLogName).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace wh::sim
