// The four commands that change how Windows sees the target disk, each one
// PowerShell script behind the identity proofs: take it offline before a
// write, eject it, bring it back online, or wipe it to one exFAT volume.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "frame/context.h"
#include "frame/errors.h"
#include "target/target_identity.h"

namespace wh {

// "$ErrorActionPreference = 'Stop'; " + the revalidation fragment + `tail`.
std::string build_disk_script(const TargetIdentity& identity, std::string_view step, std::string_view tail);

// The tail of the detach script, which customization's release step sends too.
std::string detach_script_tail();

HelperResult<nlohmann::json> handle_prepare_disk(CommandContext& context);
HelperResult<nlohmann::json> handle_detach_target(CommandContext& context);
HelperResult<nlohmann::json> handle_finalize_disk(CommandContext& context);
HelperResult<nlohmann::json> handle_reformat_disk(CommandContext& context);

}  // namespace wh
