// The PowerShell runner over the real Win32 process layer, against the
// stand-in powershell.exe that the test prefix keeps where Windows keeps the
// real one.
#include <windows.h>

#include <map>

#include <gtest/gtest.h>

#include "frame/powershell_runner.h"
#include "wine_support.h"

namespace wh::wine {
namespace {

// Steers the stand-in powershell.exe: the helper gives it an environment of
// its own making, so the settings go in standin.txt beside it.
void steer(const std::map<std::string, std::string>& settings) {
  std::string path(kPowerShellPath);
  path = path.substr(0, path.find_last_of('\\') + 1) + "standin.txt";
  std::string text;
  for (const auto& [name, value] : settings) {
    text += name + "=";
    for (char c : value) text += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : c == '\\' ? std::string("\\\\") : std::string(1, c);
    text += "\n";
  }
  if (settings.empty()) {
    ::DeleteFileA(path.c_str());
  } else {
    write_file(path, text);
  }
}

class PowerShellOnWine : public ::testing::Test {
 protected:
  void TearDown() override { steer({}); }
  void set(const std::string& name, const std::string& value) {
    settings_[name] = value;
    steer(settings_);
  }

 private:
  std::map<std::string, std::string> settings_;
};

TEST_F(PowerShellOnWine, ScriptsArriveByteForByte) {
  for (const std::string script : {
           std::string("Get-Disk | Where-Object { $_.Number -eq 3 }; exit 0"),
           std::string(R"(Write-Output "a \"quoted\" word"; 'single' ; $x = "C:\path\")"),
           std::string(R"(trailing backslashes \\)"),
           std::string(R"(ends in one backslash \)"),
           std::string("non-ASCII: \xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\xBE \xE4\xB8\xAD"),
           std::string("\"\"\"\\\\\"\\;;&|<>^%PATH%"),
       }) {
    auto answer = run_powershell(platform(), script);
    ASSERT_TRUE(answer.ok()) << answer.error().message;
    EXPECT_EQ(*answer, script);
  }
}

TEST_F(PowerShellOnWine, EveryQuoteCharacterArrivesByteForByte) {
  // PowerShell takes the typographic quotes U+2018-U+201D for ' and ", so a
  // single character lost or re-encoded on the way changes what a script
  // means; subexpressions, separators and backticks must pass untouched too.
  const std::string script =
      "'it''s' \"say \"\"hi\"\"\" "
      "\xE2\x80\x98left\xE2\x80\x99 \xE2\x80\x9Alow\xE2\x80\x9B \xE2\x80\x9C" "double\xE2\x80\x9D "
      "$(Get-Disk | Select-Object -First 1); `$not `\"x`\" ``; \"\\\" \\\\\" '\\'";
  auto answer = run_powershell(platform(), script);
  ASSERT_TRUE(answer.ok()) << answer.error().message;
  EXPECT_EQ(*answer, script);
}

TEST_F(PowerShellOnWine, BothStreamsAreDrainedTogether) {
  // Far beyond a pipe's buffer on both streams, in alternating chunks: a
  // runner that read one stream to its end first would never finish.
  set("STANDIN_FILL_BYTES", "300000");
  auto answer = run_powershell(platform(), "Get-Volume");
  ASSERT_TRUE(answer.ok()) << answer.error().message;
  EXPECT_EQ(*answer, std::string(300000, 'o') + "\nGet-Volume");
}

TEST_F(PowerShellOnWine, ExitCodesAndStandardErrorMapToFailures) {
  set("STANDIN_EXIT_CODE", "1");
  set("STANDIN_STDERR", "  Access denied by policy\r\n");
  auto denied = run_powershell(platform(), "Set-Disk");
  ASSERT_FALSE(denied.ok());
  EXPECT_EQ(denied.error().code, ErrorCode::kUnknown);
  EXPECT_EQ(denied.error().message, "Access denied by policy");

  set("STANDIN_STDERR", " \r\n");
  set("STANDIN_EXIT_CODE", "-2");
  auto silent = run_powershell(platform(), "Set-Disk");
  ASSERT_FALSE(silent.ok());
  EXPECT_EQ(silent.error().message, "PowerShell command failed");

  // Standard error alone is no failure.
  set("STANDIN_EXIT_CODE", "0");
  set("STANDIN_STDERR", "warning");
  auto warned = run_powershell(platform(), "Get-Disk");
  ASSERT_TRUE(warned.ok());
  EXPECT_EQ(*warned, "Get-Disk");
}

TEST_F(PowerShellOnWine, PowerShellGetsTheEnvironmentTheHelperBuilt) {
  // Variables of the user who started the helper, which an elevated
  // PowerShell must not see.
  ::SetEnvironmentVariableW(L"PSModulePath", L"C:\\Users\\mallory\\Documents\\WindowsPowerShell\\Modules");
  ::SetEnvironmentVariableW(L"STANDIN_MARK", L"from the user");
  set("STANDIN_ENVIRONMENT", "1");
  auto answer = run_powershell(platform(), "Get-Disk");
  ::SetEnvironmentVariableW(L"STANDIN_MARK", nullptr);
  ::SetEnvironmentVariableW(L"PSModulePath", nullptr);
  ASSERT_TRUE(answer.ok()) << answer.error().message;
  const std::string system = *platform().system_directory();
  EXPECT_NE(answer->find("\nPSModulePath=" + system + "\\WindowsPowerShell\\v1.0\\Modules\n"), std::string::npos)
      << *answer;
  EXPECT_NE(answer->find("\nSystemRoot=" + *platform().windows_directory() + "\n"), std::string::npos) << *answer;
  EXPECT_EQ(answer->find("mallory"), std::string::npos) << *answer;
  EXPECT_EQ(answer->find("STANDIN_MARK"), std::string::npos) << *answer;
}

TEST_F(PowerShellOnWine, MissingPowerShellIsToolMissing) {
  const std::string path(kPowerShellPath);
  const std::string aside = path + ".aside";
  ASSERT_TRUE(::MoveFileA(path.c_str(), aside.c_str()));
  auto answer = run_powershell(platform(), "Get-Disk");
  ::MoveFileA(aside.c_str(), path.c_str());
  ASSERT_FALSE(answer.ok());
  EXPECT_EQ(answer.error().code, ErrorCode::kToolMissing);
  EXPECT_NE(answer.error().message.find("(os error 2)"), std::string::npos) << answer.error().message;
}

}  // namespace
}  // namespace wh::wine
