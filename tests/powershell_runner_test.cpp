// The runner against real child processes standing in for powershell.exe.
#include <gtest/gtest.h>

#include "frame/powershell_runner.h"
#include "sim_dir.h"

namespace wh {
namespace {

using testing::SimDir;

class PowerShellRunner : public ::testing::Test {
 protected:
  HelperResult<std::string> run(const std::string& body, std::string_view script = "script") {
    sim.write_machine({{"elevated", true}});
    sim.install_powershell_script(body);
    auto platform = sim.platform();
    return run_powershell(platform, script);
  }
  SimDir sim;
};

TEST_F(PowerShellRunner, PassesTheFixedArgumentsAndTheScriptByteForByte) {
  const std::string script =
      R"s($p = 'C:\dir\'; if ("a\b" -match '^\\\\\?\\Volume\{[0-9A-Fa-f-]+\}\\$') { "x" }; $q = "tail\\)")s"
      "; Größe ✓ \\";
  auto out = run(R"(printf '%s|' "$@" > "$(dirname "$0")/args"; printf '%s' "$6")", script);
  ASSERT_TRUE(out.ok()) << out.error().message;
  EXPECT_EQ(*out, script);
  EXPECT_EQ(sim.read_file("args"),
            "-NoProfile|-NonInteractive|-ExecutionPolicy|Bypass|-Command|" + script + "|");
}

TEST_F(PowerShellRunner, ReturnsTrimmedStandardOutputAndDropsStandardError) {
  auto out = run(R"(printf '\r\n  True \r\n\n'; echo noise >&2)");
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, "True");
  auto empty = run("exit 0");
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(*empty, "");
}

TEST_F(PowerShellRunner, DrainsLargeOutputOnBothStreamsWithoutStalling) {
  // 1 MiB to standard error first: a runner that read only standard output
  // would leave the child blocked on a full pipe.
  auto out = run("head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 200000 /dev/zero | tr '\\0' o");
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, std::string(200000, 'o'));
}

TEST_F(PowerShellRunner, NonZeroExitReportsStandardErrorTrimmed) {
  auto out = run("echo partial; printf '  Target capacity changed before preparation\\r\\n' >&2; exit 1");
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().code, ErrorCode::kUnknown);
  EXPECT_EQ(out.error().message, "Target capacity changed before preparation");
}

TEST_F(PowerShellRunner, NonZeroExitWithoutStandardErrorHasAFixedMessage) {
  for (const char* body : {"exit 3", "echo out; printf ' \\n\\t' >&2; exit 200"}) {
    auto out = run(body);
    ASSERT_FALSE(out.ok()) << body;
    EXPECT_EQ(out.error().code, ErrorCode::kUnknown);
    EXPECT_EQ(out.error().message, "PowerShell command failed");
  }
}

TEST_F(PowerShellRunner, DecodesInvalidUtf8WithReplacementCharacters) {
  auto out = run(R"(printf 'ok\377\300end')");
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, "ok\xEF\xBF\xBD\xEF\xBF\xBD" "end");
}

TEST_F(PowerShellRunner, StandardInputIsTheNullDevice) {
  auto out = run("cat; echo done");
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, "done");
}

TEST_F(PowerShellRunner, MissingExecutableIsToolMissing) {
  sim.write_machine({{"elevated", true}});
  auto platform = sim.platform();
  auto out = run_powershell(platform, "anything");
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().code, ErrorCode::kToolMissing);
  EXPECT_EQ(out.error().message, "The system cannot find the file specified. (os error 2)");
}

TEST_F(PowerShellRunner, ExecutableThatCannotRunIsToolMissing) {
  sim.write_machine({{"elevated", true}});
  sim.write_file("powershell", "not executable");
  auto platform = sim.platform();
  auto out = run_powershell(platform, "anything");
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().code, ErrorCode::kToolMissing);
  EXPECT_EQ(out.error().message, "Access is denied. (os error 5)");
}

}  // namespace
}  // namespace wh
