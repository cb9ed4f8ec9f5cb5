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

// The whole environment PowerShell gets, built here rather than inherited
// from the user who started the helper: that user's variables could point an
// elevated PowerShell at modules, scripts or programs of his own. Only
// SystemRoot and windir (`windows_directory`), ComSpec, TEMP and TMP (the
// Windows directory's Temp), a PATH of system folders, and a PSModulePath of
// the system's own modules alone, which PowerShell then takes as it is,
// without adding the user's Documents\WindowsPowerShell\Modules.
std::vector<std::string> powershell_environment(std::string_view windows_directory,
                                                std::string_view system_directory);

// Runs `script` with powershell.exe from the system directory
// (GetSystemDirectoryW, never a search) in the environment above. Success is
// standard output decoded as UTF-8 (U+FFFD for bad bytes) and trimmed of
// Unicode white space. A process that cannot start gives TOOL_MISSING with
// the system's text (also when the Windows or system directory is unknown);
// a non-zero exit gives UNKNOWN with the trimmed standard error, or
// "PowerShell command failed" when that is empty.
HelperResult<std::string> run_powershell(Platform& platform, std::string_view script);

}  // namespace wh
