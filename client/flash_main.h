// flash-card's command line, given as UTF-8 arguments (the program name
// first) by the system's entry point.
#pragma once

#include <string>
#include <vector>

namespace flash {

int flash_main(std::vector<std::string> arguments);

}  // namespace flash
