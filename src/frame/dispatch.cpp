#include "frame/dispatch.h"

namespace wh {

using nlohmann::json;

namespace {

constexpr std::string_view kCommandNames[] = {
    "health",        "list_disks",    "write_image",      "verify_hash",
    "verify_boot",   "cancel_task",   "prepare_disk",     "read_sectors",
    "detach_target", "reformat_disk", "finalize_disk",    "image_extract_xz",
    "classify_mismatch", "image_validate_xz", "apply_customization", "image_uncompressed_size",
    "image_validate",    "image_extract",
};

}  // namespace

HelperResult<json> dispatch(CommandContext& context, std::span<const CommandEntry> handlers) {
  const std::string& name = context.request.command;
  for (std::string_view known : kCommandNames) {
    if (known != name) continue;
    for (const CommandEntry& entry : handlers) {
      if (entry.name == name && entry.handler != nullptr) return entry.handler(context);
    }
    // A known command that is not built must never look like a success.
    return fail(ErrorCode::kUnknown, "Helper command " + name + " is not available in this build");
  }
  return fail(ErrorCode::kUnknown, "Unsupported helper command: " + name);
}

}  // namespace wh
