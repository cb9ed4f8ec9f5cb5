#include "frame/dispatch.h"

#include <string_view>

#include "frame/simple_commands.h"
#include "image/image_commands.h"

namespace wh {

using nlohmann::json;

namespace {

using Handler = HelperResult<json> (*)(CommandContext&);

struct Command {
  std::string_view name;
  Handler handler;  // null while the command is not built
};

constexpr Command kCommands[] = {
    {"health", handle_health},
    {"list_disks", nullptr},
    {"write_image", nullptr},
    {"verify_hash", nullptr},
    {"verify_boot", nullptr},
    {"cancel_task", handle_cancel_task},
    {"prepare_disk", nullptr},
    {"read_sectors", nullptr},
    {"detach_target", nullptr},
    {"reformat_disk", nullptr},
    {"finalize_disk", nullptr},
    {"image_extract_xz", handle_image_extract_xz},
    {"classify_mismatch", nullptr},
    {"image_validate_xz", handle_image_validate_xz},
    {"apply_customization", nullptr},
    {"image_uncompressed_size", handle_image_uncompressed_size},
};

}  // namespace

HelperResult<json> dispatch(CommandContext& context) {
  const std::string& name = context.request.command;
  for (const Command& command : kCommands) {
    if (command.name != name) continue;
    // A known command that is not built must never look like a success.
    if (command.handler == nullptr) {
      return fail(ErrorCode::kUnknown,
                  "Helper command " + name + " is not available in this build");
    }
    return command.handler(context);
  }
  return fail(ErrorCode::kUnknown, "Unsupported helper command: " + name);
}

}  // namespace wh
