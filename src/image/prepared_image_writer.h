// The sink of an extraction: every decoded piece goes into the SHA-256 of the
// prepared image and, unless it is all zeros, into the output file. Zero
// pieces are skipped by seeking, so the free space of a disk image costs no
// writes; `finish` then gives the file its full length.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "frame/context.h"
#include "image/sha256.h"
#include "image/xz_decode.h"
#include "platform/platform.h"

namespace wh {

class PreparedImageWriter {
 public:
  // `bytes_total` is only reported, as every event's `bytesTotal`.
  PreparedImageWriter(const CommandContext& context, Handle& file, std::uint64_t bytes_total);

  // Takes the start instant and sends the event at 0 bytes.
  void start();

  // One decoded piece, in order. Pieces are written as they come: the
  // decoder's 16 MiB ring of pieces is the write buffer.
  SinkStatus accept(std::span<const std::uint8_t> piece);

  // After the last piece: the final event, the end of file at exactly
  // `bytes_written`, and a flush to stable storage. Returns the digest.
  HelperResult<std::string> finish();

 private:
  void report();
  SinkStatus write_all(std::span<const std::uint8_t> data);

  const CommandContext& context_;
  Handle& file_;
  std::uint64_t bytes_total_;
  Sha256 digest_;
  std::uint64_t bytes_written_ = 0;
  std::uint64_t file_position_ = 0;  // where the handle's position is
  Instant start_{};
  Instant last_event_{};
};

}  // namespace wh
