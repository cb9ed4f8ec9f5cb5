#include "frame/entry.h"

#include <algorithm>

#include "frame/dispatch.h"
#include "frame/request.h"
#include "frame/response.h"

namespace wh {

int run_request(const std::vector<std::string>& arguments, Platform& platform, LineWriter& out,
                std::span<const CommandEntry> handlers) {
  // Only the whole argument counts: "--request=..." is not the option.
  const auto option = std::find(arguments.begin(), arguments.end(), "--request");
  if (option == arguments.end()) {
    out.write_line(frame_failure_line("Expected --request <json> argument"));
    return 0;
  }
  if (option + 1 == arguments.end()) {
    out.write_line(frame_failure_line("Missing JSON payload after --request"));
    return 0;
  }
  auto request = parse_request(*(option + 1));
  if (!request) {
    out.write_line(frame_failure_line(request.error()));
    return 0;
  }
  CommandContext context{*request, platform, out};
  out.write_line(response_line(request->id, dispatch(context, handlers)));
  return 0;
}

}  // namespace wh
