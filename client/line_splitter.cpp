#include "helper_process.h"

namespace flash {

void LineSplitter::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) {
      pending_.append(bytes);
      return;
    }
    pending_.append(bytes.substr(0, end));
    bytes.remove_prefix(end + 1);
    const std::string line = std::move(pending_);
    pending_.clear();
    sink_(line);
  }
}

void LineSplitter::finish() {
  if (pending_.empty()) return;
  const std::string line = std::move(pending_);
  pending_.clear();
  sink_(line);
}

}  // namespace flash
