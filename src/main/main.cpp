// windows_helper --request <json>: serves one request and exits.
#include <cstdio>

#include "frame/entry.h"
#include "frame/output.h"
#include "platform/entry.h"

int main(int argc, char** argv) {
  wh::prepare_process();
  auto platform = wh::make_platform();
  if (!platform) {
    // Only the simulated Windows can fail here (a broken machine description):
    // a fault of the test set-up, not an answer to the caller.
    std::fprintf(stderr, "windows_helper: %s\n", platform.error().c_str());
    return 2;
  }
  wh::StdoutLineWriter out;
  return wh::run_helper(wh::command_line_arguments(argc, argv), **platform, out);
}
