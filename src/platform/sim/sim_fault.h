// One fault injected into the simulated Windows, as machine.json lists it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace wh::sim {

// One injected failure. It applies to operations named `operation` on
// objects opened through `path` (compared without regard to ASCII case), or
// on every object when `path` is absent.
struct SimFault {
  // "open", "status", "length", "descriptor", "attributes", "geometry", "extents",
  // "lock", "dismount", "read", "write", "seek", "setEndOfFile", "setSparse",
  // "flush", "listVolumes", "disappear" (the drive is gone after
  // `after_opens` opens), "swap" (another card is in the reader after
  // `after_opens` opens) or "corrupt" (reads of a drive return other bytes).
  std::string operation;
  std::optional<std::string> path;
  std::uint32_t error = 0;  // the Win32 code reported
  // read/write: the handle transfers this many bytes, then fails.
  std::optional<std::uint64_t> after_bytes;
  // read/write: every matching call moves at most this many bytes and
  // succeeds. Such a fault never fails a call.
  std::optional<std::uint64_t> max_bytes_per_call;
  // The failure is an interrupted call (OsError::interrupted), which moved
  // nothing and is to be repeated.
  bool interrupted = false;
  // corrupt: reads of the drive's bytes from `offset` on return `bytes`.
  std::uint64_t offset = 0;
  Bytes bytes;
  // disappear, swap: opens that still find the drive (or card) as it was.
  std::uint32_t after_opens = 0;
  // swap: what the new card reports; absent members stay as they were.
  std::optional<std::string> serial;
  std::optional<std::uint64_t> size_bytes;
  std::optional<std::string> backing_file;  // host path
  // swap: it has happened (in memory only; the file loses the fault then).
  bool used = false;
  // How many times the fault fires before the operation works again;
  // unlimited when absent.
  std::optional<std::uint32_t> count;
  // Faults without a byte threshold: this many matching operations go
  // through before it fires.
  std::uint32_t skip = 0;
  // The open mode it applies to ("query", "exclusiveRead", "exclusiveWrite",
  // "volumeRead", "volumeReadWrite", "fileRead", "fileWrite"): that of the
  // open itself, or of the handle an operation goes through. Every mode when
  // absent.
  std::optional<std::string> mode;
};

}  // namespace wh::sim
