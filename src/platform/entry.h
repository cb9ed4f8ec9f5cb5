// What `main` needs from the platform it was linked with. Each implementation
// (Win32, simulated) defines these once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/result.h"

namespace wh {

// The platform for this process. The simulated Windows reads its machine
// description here; a description it cannot load is reported as text.
Result<std::unique_ptr<Platform>, std::string> make_platform();

// The command-line arguments after the program name, as UTF-8. On Windows
// they come from the wide command line, not from the ANSI `argv`.
std::vector<std::string> command_line_arguments(int argc, char** argv);

// Sets the process up before anything else: standard output for JSON lines
// (binary, so that a line ends in a bare line feed); a reader that goes away
// never stops the process (a failed write of a line is ignored, the command
// runs to its end); and no dialog ever waits for a person (a card pulled
// mid-command is an error, not a "No disk" box).
void prepare_process();

}  // namespace wh
