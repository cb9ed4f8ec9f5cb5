// The Windows command-line convention: a child receives one string and splits
// it into arguments by the C runtime's rules (backslashes are literal except
// before a quotation mark). Quoting here is the exact inverse of that split,
// so a script reaches PowerShell byte for byte. Pure text functions, usable and
// tested on every system.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace wh {

// One argument, quoted only when it needs to be.
std::string quote_windows_argument(std::string_view argument);

// The program path in quotation marks (paths cannot contain them), then each
// argument quoted, separated by single spaces.
std::string build_windows_command_line(std::string_view program,
                                       const std::vector<std::string>& arguments);

// The C runtime's split: element 0 is the program name.
std::vector<std::string> split_windows_command_line(std::string_view command_line);

}  // namespace wh
