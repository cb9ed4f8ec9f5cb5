#include "frame/powershell_runner.h"

#include "platform/unicode.h"

namespace wh {

std::vector<std::string> powershell_arguments(std::string_view script) {
  return {"-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command",
          std::string(script)};
}

static std::string decoded_and_trimmed(const std::string& bytes) {
  return std::string(trim_unicode_whitespace(utf8_lossy(bytes)));
}

HelperResult<std::string> run_powershell(Platform& platform, std::string_view script) {
  auto run = platform.run_process(std::string(kPowerShellPath), powershell_arguments(script));
  if (!run) return fail(ErrorCode::kToolMissing, run.error());
  if (run->exit_code == 0) return decoded_and_trimmed(run->standard_output);
  std::string message = decoded_and_trimmed(run->standard_error);
  if (message.empty()) message = "PowerShell command failed";
  return fail(ErrorCode::kUnknown, std::move(message));
}

}  // namespace wh
