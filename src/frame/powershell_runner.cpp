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

std::vector<std::string> powershell_environment(std::string_view windows_directory,
                                                std::string_view system_directory) {
  const std::string windows(windows_directory);
  const std::string system(system_directory);
  const std::string powershell_home = system + "\\WindowsPowerShell\\v1.0";
  return {"ComSpec=" + system + "\\cmd.exe",
          "PATH=" + system + ";" + windows + ";" + system + "\\Wbem;" + powershell_home + "\\",
          "PSModulePath=" + powershell_home + "\\Modules",
          "SystemRoot=" + windows,
          "TEMP=" + windows + "\\Temp",
          "TMP=" + windows + "\\Temp",
          "windir=" + windows};
}

HelperResult<std::string> run_powershell(Platform& platform, std::string_view script) {
  auto windows = platform.windows_directory();
  if (!windows) return fail(ErrorCode::kToolMissing, windows.error());
  auto system = platform.system_directory();
  if (!system) return fail(ErrorCode::kToolMissing, system.error());
  auto run = platform.run_process_in_environment(*system + std::string(kPowerShellInSystemDirectory),
                                                 powershell_arguments(script), powershell_environment(*windows, *system));
  if (!run) return fail(ErrorCode::kToolMissing, run.error());
  if (run->exit_code == 0) return decoded_and_trimmed(run->standard_output);
  std::string message = decoded_and_trimmed(run->standard_error);
  if (message.empty()) message = "PowerShell command failed";
  return fail(ErrorCode::kUnknown, std::move(message));
}

}  // namespace wh
