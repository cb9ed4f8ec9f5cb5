// SHA-256 on a second thread, so that hashing one chunk overlaps the drive
// transfer of the next. Only hashing runs there: every platform call stays on
// the caller's thread. Chunks are hashed strictly in the order given.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "image/sha256.h"

namespace wh {

class BackgroundHash {
 public:
  BackgroundHash();
  ~BackgroundHash();
  BackgroundHash(const BackgroundHash&) = delete;
  BackgroundHash& operator=(const BackgroundHash&) = delete;

  // Waits until the previous chunk is hashed, then starts on `chunk`. The
  // caller must leave `chunk` untouched until the next `add` or `finish_hex`
  // returns. With `also_second`, the chunk goes into the second digest too
  // (a sparse write's digest of what it wrote, beside the whole image's).
  void add(std::span<const std::uint8_t> chunk, bool also_second = false);

  // Waits for the last chunk; the digest as 64 lowercase hex digits. Once.
  std::string finish_hex();
  // The same for the second digest.
  std::string finish_second_hex();

 private:
  void wait_idle();
  void run();

  Sha256 digest_;
  Sha256 second_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::span<const std::uint8_t> pending_;
  bool pending_second_ = false;
  bool busy_ = false;
  bool stopping_ = false;
  // Without a thread (the system refused one) chunks are hashed in `add`.
  std::thread worker_;
};

}  // namespace wh
