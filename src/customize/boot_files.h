// Files on the proven boot volume, each addressed as the volume GUID path
// followed by a path relative to the volume's root, and each write preceded
// by a fresh proof that the volume still lies on the target alone.
#pragma once

#include <string>
#include <string_view>

#include "frame/errors.h"
#include "platform/platform.h"
#include "target/target_identity.h"

namespace wh {

// The volume GUID path followed by `relative` with "/" turned into "\".
// WRITE_FAILED "Invalid first-boot file path." for a path that is not
// is_boot_file_path.
HelperResult<std::string> resolve_boot_file_path(const std::string& volume, std::string_view relative);

// Proves the volume, then writes `contents` as the whole file `relative`
// (opened or created, cut to nothing, written through and flushed).
// Directories are not created.
HelperStatus write_boot_file(Platform& platform, const TargetIdentity& identity, const std::string& volume,
                             std::string_view relative, std::string_view contents);

// The whole of `relative` as UTF-8 text; WRITE_FAILED "<relative> is missing
// on the boot partition: " and the reason when it cannot be read.
HelperResult<std::string> read_boot_text_file(Platform& platform, const std::string& volume,
                                              std::string_view relative);

// Replaces `relative` by `contents` in one rename: the text goes to a
// temporary file beside it first, so a failure at any point leaves the old
// file whole (and the temporary file removed).
HelperStatus replace_boot_file(Platform& platform, const TargetIdentity& identity, const std::string& volume,
                               std::string_view relative, std::string_view contents);

}  // namespace wh
