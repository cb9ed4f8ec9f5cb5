#include "platform/sim/sim_machine_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace wh::sim {

MachineLock::MachineLock(const std::string& directory) {
  if (directory.empty()) return;
  fd_ = ::open((directory + "/machine.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) return;  // a broken set-up: the change goes ahead unguarded, as before
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  while (::fcntl(fd_, F_OFD_SETLKW, &whole) != 0 && errno == EINTR) {
  }
}

MachineLock::~MachineLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the description releases its lock
}

}  // namespace wh::sim
