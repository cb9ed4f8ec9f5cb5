#include "raw/raw_readback.h"

#include <algorithm>

#include "frame/progress.h"
#include "raw/background_hash.h"
#include "raw/drive_reader.h"

namespace wh {

namespace {

constexpr std::chrono::milliseconds kEventInterval{500};

}  // namespace

HelperResult<RawDrive> open_raw_for_reading(Platform& platform, const TargetIdentity& identity,
                                            std::string_view step) {
  auto drive = platform.open_drive_exclusive_read(raw_target_path(identity));
  if (!drive) return Err(map_open_error(drive.error()));
  if (auto proven = revalidate_raw_handle(**drive, identity, step); !proven) {
    return Err(std::move(proven).error());
  }
  auto sector = (*drive)->logical_sector_bytes();
  if (!sector) return fail(ErrorCode::kDeviceDisconnected, sector.error());
  return RawDrive{std::move(*drive), *sector};
}

HelperResult<ReadbackResult> raw_readback(Platform& platform, const TargetIdentity& identity,
                                          std::uint64_t byte_count, const ReadbackProgress* progress,
                                          std::string_view message) {
  auto drive = open_raw_for_reading(platform, identity, "raw readback");
  if (!drive) return Err(std::move(drive).error());
  if (auto sought = drive->handle->seek(0); !sought) return fail(ErrorCode::kDeviceDisconnected, sought.error());
  // Reads stop at the disk's end instead of asking the driver for sectors
  // it does not have.
  auto length = drive->handle->disk_length();
  if (!length) return fail(ErrorCode::kDeviceDisconnected, length.error());

  // Two buffers: the next chunk is read while the last one is hashed. Both
  // outlive the hasher, which may still be reading one of them.
  ChunkBuffer buffers[2];
  ReadbackResult result;
  {
    BackgroundHash digest;
    DriveReader reader(*drive->handle, *length, drive->sector_bytes);
    const Instant start = platform.now();
    Instant last_event = start;
    auto emit = [&](Instant now) {
      emit_progress(progress->context, progress->task_id, "VERIFY", result.bytes_read, byte_count,
                    bytes_per_second(result.bytes_read, now - start, 0.001), message);
    };
    if (progress != nullptr) emit(start);
    for (int current = 0; result.bytes_read < byte_count; current ^= 1) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, byte_count - result.bytes_read));
      auto got = reader.read(buffers[current].span().first(want));
      if (!got) return fail(ErrorCode::kDeviceDisconnected, got.error());
      if (*got == 0) break;
      digest.add(buffers[current].span().first(*got));
      result.bytes_read += *got;
      const Instant now = platform.now();
      if (progress != nullptr && now - last_event >= kEventInterval) {
        emit(now);
        last_event = now;
      }
      if (*got < want) break;
    }
    const Instant end = platform.now();
    if (progress != nullptr) emit(end);
    result.speed_bps = bytes_per_second(result.bytes_read, end - start, 0.001);
    result.sha256 = digest.finish_hex();
  }
  return result;
}

}  // namespace wh
