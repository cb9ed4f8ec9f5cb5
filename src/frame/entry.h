// The process entry: command line in, exactly one response line out.
#pragma once

#include <string>
#include <vector>

#include "frame/dispatch.h"
#include "frame/output.h"
#include "platform/platform.h"

namespace wh {

// Finds "--request <json>" among `arguments` (those after the program name),
// or else "--request-stdin" (the same JSON text on standard input, up to its
// end), or else "--request-file <path>" (a regular UTF-8 file holding it,
// which only administrators may change); the last two hold at most 16 MiB,
// for requests longer than Windows' 32,767-character command line. Parses
// the request, dispatches it to `handlers`, and writes the response as the
// last line of `out`. Returns the process exit status, which is 0
// whenever a response line was written.
int run_request(const std::vector<std::string>& arguments, Platform& platform, LineWriter& out,
                std::span<const CommandEntry> handlers);

// run_request with every command this build has. Defined by the composition
// root (src/main/commands.cpp), the one place that knows all the handlers.
int run_helper(const std::vector<std::string>& arguments, Platform& platform, LineWriter& out);

}  // namespace wh
