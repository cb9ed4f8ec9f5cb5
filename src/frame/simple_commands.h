// The two commands that need no disk: `health` and `cancel_task`.
#pragma once

#include <nlohmann/json.hpp>

#include "frame/context.h"
#include "frame/errors.h"

namespace wh {

// The project's version, kept in one place: project() in CMakeLists.txt.
inline constexpr const char* kHelperVersion = WINDOWS_HELPER_VERSION;
inline constexpr const char* kElevationScript =
    "([Security.Principal.WindowsPrincipal] "
    "[Security.Principal.WindowsIdentity]::GetCurrent()).IsInRole("
    "[Security.Principal.WindowsBuiltInRole]::Administrator)";

// Version, platform, session and whether the process runs as administrator,
// asked of PowerShell. Fails only when PowerShell does.
HelperResult<nlohmann::json> handle_health(CommandContext& context);

// The helper keeps no tasks between processes, so there is nothing to stop:
// it acknowledges.
HelperResult<nlohmann::json> handle_cancel_task(CommandContext& context);

}  // namespace wh
