// Reading a raw drive from byte 0 the way Windows' disk driver accepts it:
// every transfer starts on a boundary of the device's logical sector, is a
// whole number of its sectors and stays inside the disk. Callers ask for any
// byte count; the reader reads whole sectors straight into their buffer and
// goes through one bounce sector only for a count that ends inside a sector.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/platform.h"
#include "platform/aligned_buffer.h"

namespace wh {

// Reads until `buffer` is full or a read returns 0, repeating interrupted
// reads. Returns the count read; an error ends it.
OsResult<std::size_t> read_full(Handle& handle, std::span<std::uint8_t> buffer);

// Writes all of `data`, repeating interrupted writes. The error is the text
// to report: the system's, or "failed to write whole buffer" for a write that
// accepted nothing, which looping on would never end.
Result<void, std::string> write_full(Handle& handle, std::span<const std::uint8_t> data);

class DriveReader {
 public:
  // `drive` is positioned anywhere; the first read seeks to byte 0.
  // `disk_length` is the disk's length as the driver reports it,
  // `sector_bytes` its logical sector size (a power of two). Callers' buffers
  // start on a sector of the device's alignment.
  DriveReader(Handle& drive, std::uint64_t disk_length, std::uint32_t sector_bytes);

  // The next `buffer.size()` bytes of the disk, fewer only where the disk
  // ends (0 once it has ended).
  OsResult<std::size_t> read(std::span<std::uint8_t> buffer);

  std::uint64_t position() const { return position_; }

 private:
  OsResult<std::size_t> read_sectors_at(std::uint64_t offset, std::span<std::uint8_t> buffer);

  Handle& drive_;
  std::uint64_t sector_;
  std::uint64_t end_;  // the last whole sector's end
  std::uint64_t position_ = 0;
  std::uint64_t device_position_ = 0;
  bool positioned_ = false;
  AlignedBuffer bounce_;
};

}  // namespace wh
