// The one place the helper starts Windows PowerShell. It runs one script to
// completion and returns its trimmed standard output, knowing nothing about
// what the script does. Shared by `health` and every subsystem that asks
// PowerShell, so it sits beside the other shared pieces of the frame.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "frame/errors.h"
#include "platform/platform.h"

namespace wh {

// The fixed arguments; the script text follows as the sixth.
std::vector<std::string> powershell_arguments(std::string_view script);

// Runs `script`. Success is standard output decoded as UTF-8 (U+FFFD for bad
// bytes) and trimmed of Unicode white space. A process that cannot start gives
// TOOL_MISSING with the system's text; a non-zero exit gives UNKNOWN with the
// trimmed standard error, or "PowerShell command failed" when that is empty.
HelperResult<std::string> run_powershell(Platform& platform, std::string_view script);

}  // namespace wh
