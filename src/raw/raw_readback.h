// Hashing what the card really holds: the first N bytes of the target drive,
// read through a fresh exclusive read-only handle that did not do the writing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "frame/context.h"
#include "frame/errors.h"
#include "raw/chunk_buffer.h"
#include "target/target_identity.h"

namespace wh {

struct ReadbackProgress {
  const CommandContext& context;
  std::string_view task_id;
};

struct ReadbackResult {
  std::string sha256;  // 64 lowercase hex digits
  std::uint64_t bytes_read = 0;
  std::uint64_t speed_bps = 0;
};

// One pass over bytes [0, byte_count) of the proven drive, hashed as read.
// With `progress`, "VERIFY" events carry `message`: one at the start, one at
// most every 500 ms, one at the end. A drive that ends first is not an error:
// the pass hashes what there is and reports the smaller count. Failures:
// those of the raw open (map_open_error) and of the revalidation; a failing
// seek or read is DEVICE_DISCONNECTED.
HelperResult<ReadbackResult> raw_readback(Platform& platform, const TargetIdentity& identity,
                                          std::uint64_t byte_count, const ReadbackProgress* progress,
                                          std::string_view message);

// A raw drive handle with the device's logical sector size, asked once at
// the open: every transfer through the handle is a whole number of them.
struct RawDrive {
  HandlePtr handle;
  std::uint32_t sector_bytes = 512;
};

// The proven drive opened exclusively for reading and proven once more
// through that handle under `step`. A failing sector-size query is
// DEVICE_DISCONNECTED.
HelperResult<RawDrive> open_raw_for_reading(Platform& platform, const TargetIdentity& identity,
                                            std::string_view step);

}  // namespace wh
