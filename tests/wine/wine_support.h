// What the Windows-side tests share: the build's files as Windows paths
// (Wine shows the host's root as drive Z:), and runs of windows_helper.exe
// through the real Win32 process runner.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace wh::wine {

// "/a/b" -> "Z:\a\b".
std::string windows_path(const std::string& host_path);

// The Win32 platform, made once.
Platform& platform();

// windows_helper.exe with `arguments`, as the desktop app starts it.
ProcessOutput run_helper(const std::vector<std::string>& arguments);

// A scratch folder of this test run, as a Windows path.
std::string scratch(const std::string& name);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// Makes the file at the Windows path `path` one the user cannot change, as
// far as Wine can show it: Wine keeps no security descriptor of its own and
// makes one from the owner and mode, so the file is made read-only and given
// to another account (the suite runs as root, as CI does), through Wine's
// start of Unix programs.
void protect_from_user(const std::string& path);

}  // namespace wh::wine
