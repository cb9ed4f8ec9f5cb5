#include <gtest/gtest.h>

#include "platform/windows_command_line.h"

namespace wh {
namespace {

TEST(QuoteWindowsArgument, QuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(quote_windows_argument("-NoProfile"), "-NoProfile");
  EXPECT_EQ(quote_windows_argument(""), "\"\"");
  EXPECT_EQ(quote_windows_argument("a b"), "\"a b\"");
  EXPECT_EQ(quote_windows_argument(R"(a\b)"), R"(a\b)");
  EXPECT_EQ(quote_windows_argument(R"(say "hi")"), R"("say \"hi\"")");
  EXPECT_EQ(quote_windows_argument(R"(end\ )"), R"("end\ ")");
  EXPECT_EQ(quote_windows_argument(R"(tail\)"), R"(tail\)");
  EXPECT_EQ(quote_windows_argument(R"(two words\\)"), R"("two words\\\\")");
  EXPECT_EQ(quote_windows_argument(R"(\\"x)"), R"("\\\\\"x")");
}

TEST(WindowsCommandLine, SplitUndoesQuotingForHardArguments) {
  const std::vector<std::string> arguments = {
      "-NoProfile",
      "",
      " ",
      R"($x -replace '[^a-zA-Z0-9]', ''; "quoted" \\server\share\)",
      R"(trailing backslashes\\\)",
      R"(\"already escaped\")",
      "tab\there; semi;colons",
      "Größe 😀 'single'",
      R"("")",
      "\\",
  };
  const std::string line = build_windows_command_line(
      "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe", arguments);
  const std::vector<std::string> split = split_windows_command_line(line);
  ASSERT_EQ(split.size(), arguments.size() + 1);
  EXPECT_EQ(split[0], "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe");
  for (std::size_t i = 0; i < arguments.size(); ++i) EXPECT_EQ(split[i + 1], arguments[i]) << i;
}

TEST(WindowsCommandLine, SplitFollowsTheRuntimeRules) {
  EXPECT_EQ(split_windows_command_line(R"(prog a\\\"b "c d"e \\\\"f g" h\i)"),
            (std::vector<std::string>{"prog", R"(a\"b)", "c de", R"(\\f g)", R"(h\i)"}));
  EXPECT_EQ(split_windows_command_line(R"("C:\Program Files\x.exe"  "a""b" "")"),
            (std::vector<std::string>{R"(C:\Program Files\x.exe)", R"(a"b)", ""}));
}

}  // namespace
}  // namespace wh
