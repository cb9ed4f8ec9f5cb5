#include "raw/background_hash.h"

#include <system_error>

namespace wh {

BackgroundHash::BackgroundHash() {
  try {
    worker_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No second thread: hashing simply stays on the caller's.
  }
}

BackgroundHash::~BackgroundHash() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void BackgroundHash::wait_idle() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
}

void BackgroundHash::add(std::span<const std::uint8_t> chunk, bool also_second) {
  if (!worker_.joinable()) {
    digest_.update(chunk);
    if (also_second) second_.update(chunk);
    return;
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
    pending_ = chunk;
    pending_second_ = also_second;
    busy_ = true;
  }
  changed_.notify_all();
}

std::string BackgroundHash::finish_hex() {
  wait_idle();
  return digest_.finish_hex();
}

std::string BackgroundHash::finish_second_hex() {
  wait_idle();
  return second_.finish_hex();
}

void BackgroundHash::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return busy_ || stopping_; });
    if (busy_) {
      const std::span<const std::uint8_t> chunk = pending_;
      const bool second = pending_second_;
      lock.unlock();
      digest_.update(chunk);
      if (second) second_.update(chunk);
      lock.lock();
      busy_ = false;
      changed_.notify_all();
      continue;
    }
    if (stopping_) return;
  }
}

}  // namespace wh
