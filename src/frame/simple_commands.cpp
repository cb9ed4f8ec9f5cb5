#include "frame/simple_commands.h"

#include "frame/powershell_runner.h"
#include "platform/unicode.h"

namespace wh {

using nlohmann::json;

HelperResult<json> handle_health(CommandContext& context) {
  auto answer = run_powershell(context.platform, kElevationScript);
  if (!answer) return Err(std::move(answer).error());
  // PowerShell prints True or False; any spelling that contains "true" counts.
  const bool elevated = ascii_lower(*answer).find("true") != std::string::npos;
  return json{
      {"helperVersion", kHelperVersion},
      {"isElevated", elevated},
      {"ok", true},
      {"platform", "windows"},
      {"sessionId", context.request.session_id},
  };
}

HelperResult<json> handle_cancel_task(CommandContext&) { return json{{"canceled", true}}; }

}  // namespace wh
