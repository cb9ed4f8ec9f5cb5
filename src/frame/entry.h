// The process entry: command line in, exactly one response line out.
#pragma once

#include <string>
#include <vector>

#include "frame/output.h"
#include "platform/platform.h"

namespace wh {

// Finds "--request <json>" among `arguments` (those after the program name),
// parses the request, dispatches it, and writes the response as the last line
// of `out`. Returns the process exit status, which is 0 whenever a response
// line was written.
int run_helper(const std::vector<std::string>& arguments, Platform& platform, LineWriter& out);

}  // namespace wh
