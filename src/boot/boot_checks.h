// The rows of the boot-readiness report: the byte-for-byte result the app
// already has, and a read-only look at the written card's MBR, partitions,
// FAT32 boot sector and boot files. A card that fails a check is not an
// error; it gives a "failed" row.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace wh {

enum class CheckStatus { kPassed, kWarning, kFailed, kSkipped };

struct BootCheck {
  std::string id;
  std::string label;
  CheckStatus status = CheckStatus::kPassed;
  std::string message;
  bool critical = true;
  nlohmann::json details = nlohmann::json::object();

  nlohmann::json to_json() const;
};

// What the app learned from comparing the readback with the prepared image.
struct ImageEvidence {
  std::string expected_sha256;
  std::string observed_sha256;
  std::uint64_t verified_bytes = 0;
  std::uint64_t image_bytes = 0;
  bool skip_checksum = false;
  // The app's classification of a remaining difference said it is only
  // Windows' mount rewriting FAT metadata (classify_mismatch, or
  // write_image's readbackClass, "safe").
  bool mount_side_effects_only = false;
};

// "passed" for equal SHA-256 digests (64 hexadecimal characters, of either
// case) over the whole image, and with mount_side_effects_only for two
// sound digests that differ; "skipped" and not critical with skip_checksum
// (unless mount_side_effects_only settles it).
BootCheck image_check(const ImageEvidence& evidence);

// The row that stands in for the rest of the inspection when the card could
// not be opened, revalidated or read.
BootCheck media_read_failure(std::string message);

// Reads the card through `drive`, whose logical sectors are
// `device_sector_bytes` long, and appends its rows in report order, stopping
// at the first failed row or failed read.
void inspect_boot_media(Handle& drive, std::uint32_t device_sector_bytes, std::vector<BootCheck>& checks);

// No critical row failed; warnings and skipped rows do not count.
bool checks_succeeded(const std::vector<BootCheck>& checks);

}  // namespace wh
