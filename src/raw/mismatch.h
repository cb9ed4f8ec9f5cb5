// Where a readback differs from the prepared image, and whether the
// difference is only what Windows writes when it mounts the card.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame/context.h"
#include "frame/errors.h"
#include "frame/stage_progress.h"
#include "image/byte_range.h"
#include "target/target_identity.h"

namespace wh {

// More differing bytes than this inside the known ranges is not a mount.
inline constexpr std::uint64_t kMaxMetadataDiffBytes = 524288;

// The first byte within `byte_count` where the drive differs from the image:
// {offset, expectedSampleHex, observedSampleHex} with up to 32 bytes of each
// side (empty where that side has ended), or null when none differs. With
// `decode` the image is compared as decoded (a `decompress` write). Image
// failures are IMAGE_MISSING (XZ_INVALID for damaged compressed data), drive
// failures DEVICE_DISCONNECTED.
HelperResult<nlohmann::json> inspect_mismatch(Platform& platform, const std::string& image_path, bool decode,
                                              const TargetIdentity& identity, std::uint64_t byte_count);
// The same over `extents` only (in order, apart): a sparse write's.
HelperResult<nlohmann::json> inspect_mismatch(Platform& platform, const std::string& image_path, bool decode,
                                              const TargetIdentity& identity, const std::vector<ByteRange>& extents);

// Whether the drive differs from the image over `judged` (in order, apart:
// one run from byte 0, or a sparse write's extents) only where Windows
// rewrites FAT metadata when it mounts the card: {safe, message,
// metadataDiffBytes, firstUnsafeOffset when a difference lies elsewhere},
// compared in order up to the first such difference. The drive is opened for
// reading and proven under the classification's step; the caller holds the
// volume locks. With `progress`, VERIFY lines over the judged bytes.
HelperResult<nlohmann::json> classify_readback(Platform& platform, const std::string& image_path, bool decode,
                                               const TargetIdentity& identity, const std::vector<ByteRange>& judged,
                                               StageProgress* progress);

// classify_readback of the payload's image and target, with VERIFY lines.
// With `sparse`, only the extents of the write map (the request's writeMap,
// or for a prepared image the one scanned from it) are compared.
HelperResult<nlohmann::json> handle_classify_mismatch(CommandContext& context);

}  // namespace wh
