// What a command handler works with: the request, the platform, and the
// output that progress lines go to.
#pragma once

#include "frame/output.h"
#include "frame/request.h"
#include "platform/platform.h"

namespace wh {

struct CommandContext {
  const Request& request;
  Platform& platform;
  LineWriter& out;
};

}  // namespace wh
