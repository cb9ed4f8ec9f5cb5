#include "raw/readback_commands.h"

#include <string>

#include "boot/boot_reader.h"
#include "frame/payload_fields.h"
#include "image/sha256.h"
#include "raw/raw_readback.h"
#include "target/volume_locks.h"

namespace wh {

using nlohmann::json;

HelperResult<json> handle_verify_hash(CommandContext& context) {
  const json& payload = context.request.payload;
  auto byte_count = required_count(payload, "bytesTotal");
  if (!byte_count) return Err(std::move(byte_count).error());
  auto path = resolve_target_path(payload);
  if (!path) return Err(std::move(path).error());
  const auto number = parse_drive_number(*path);
  if (!number) {
    return fail(ErrorCode::kDeviceNotRemovable,
                "Unable to parse physical target identity from " + *path + "; verification was not started.");
  }
  auto identity = validate_expected_identity(context.platform, payload, *number, "hash verification");
  if (!identity) return Err(std::move(identity).error());
  auto locks = acquire_volume_locks(context.platform, *identity);
  if (!locks) return fail(ErrorCode::kUnmountFailed, std::move(locks).error());
  const std::string task_id = text_or(payload, "taskId", "unknown");
  const ReadbackProgress progress{context, task_id};
  auto readback = raw_readback(context.platform, *identity, *byte_count, &progress,
                               "Reading the target back from a fresh Windows disk handle");
  if (!readback) return Err(std::move(readback).error());
  return json{{"observedSha256", readback->sha256},
              {"verifiedBytes", readback->bytes_read},
              {"speedBps", readback->speed_bps}};
}

HelperResult<json> handle_read_sectors(CommandContext& context) {
  const json& payload = context.request.payload;
  auto path = resolve_target_path(payload);
  if (!path) return Err(std::move(path).error());
  auto target = prepare_target(context.platform, payload, *path, "sector inspection");
  if (!target) return Err(std::move(target).error());
  auto start = required_count(payload, "startLba");
  if (!start) return Err(std::move(start).error());
  auto count = required_count(payload, "sectorCount");
  if (!count) return Err(std::move(count).error());
  if (*count == 0 || *count > kMaxInspectedSectors) {
    return fail(ErrorCode::kUnknown, "sectorCount must be between 1 and " + std::to_string(kMaxInspectedSectors) +
                                         " (got " + std::to_string(*count) + ")");
  }
  std::string hex;
  {
    auto drive = open_raw_for_reading(context.platform, target->identity, "sector inspection");
    if (!drive) return Err(std::move(drive).error());
    auto sectors = read_disk_sectors(*drive->handle, *start, *count, drive->sector_bytes);
    if (!sectors) return fail(ErrorCode::kReadFailed, std::move(sectors).error());
    hex = lower_hex(*sectors);
  }
  // The raw handle is closed before the locks are dropped.
  target->locks.release();
  return json{{"dataHex", std::move(hex)}};
}

}  // namespace wh
