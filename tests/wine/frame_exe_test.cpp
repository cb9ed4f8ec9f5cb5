// The Linux build's table of whole response lines, answered by the real
// windows_helper.exe: arguments through the wide command line, every line
// ending in "\n" alone, exit status 0.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "wine_support.h"

namespace wh::wine {
namespace {

using nlohmann::json;

TEST(FrameExe, AnswersEveryCaseOfTheTable) {
  const json cases = json::parse(read_file(windows_path(FRAME_CASES)));
  ASSERT_GT(cases.size(), 20u);
  const std::string missing = scratch("no-such-request.json");
  const auto replace = [](std::string text, const std::string& mark, const std::string& with) {
    for (std::size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), with);
    return text;
  };
  const auto escaped = [](const std::string& path) { const std::string q = json(path).dump(); return q.substr(1, q.size() - 2); };
  // Wine words some system messages differently from Windows.
  const std::string not_found = platform().open_file_read(missing).error().text();
  int row = 0;
  for (const json& c : cases) {
    // Standard input reaches windows_helper.exe from flash-card.exe, which
    // sends every request that way (FlashCardExe).
    if (c.contains("stdin")) continue;
    // A file of its own for each row: a protected file cannot be rewritten.
    const std::string file = scratch("frame-request-" + std::to_string(++row) + ".json");
    if (c.contains("file")) {
      write_file(file, c.at("file").get<std::string>());
      protect_from_user(file);
    }
    std::vector<std::string> args;
    for (const std::string& arg : c.at("args").get<std::vector<std::string>>()) {
      args.push_back(replace(replace(arg, "{file}", file), "{missing}", missing));
    }
    const std::string line =
        replace(replace(replace(c.at("line").get<std::string>(), "{file}", escaped(file)), "{missing}", escaped(missing)),
                "{not found}", not_found);
    const ProcessOutput output = run_helper(args);
    EXPECT_EQ(output.standard_output, line + "\n") << c.at("name");
    EXPECT_EQ(output.exit_code, 0u) << c.at("name");
    EXPECT_EQ(output.standard_error, "") << c.at("name");
  }
}

TEST(FrameExe, QuotesBackslashesAndNonAsciiSurviveTheCommandLine) {
  // An id that needs every quoting rule of the Windows command line.
  const std::string id = "a \"quoted\" id \\\" with \\\\ and \xC3\xA9\xE2\x82\xAC\xF0\x9F\x92\xBE \\";
  const json request{{"id", id}, {"sessionId", "s"}, {"command", "cancel_task"}};
  const ProcessOutput output = run_helper({"--request", request.dump()});
  const json expected{{"id", id}, {"ok", true}, {"payload", {{"canceled", true}}}};
  EXPECT_EQ(output.standard_output, expected.dump() + "\n");
  EXPECT_EQ(output.standard_output.find("\r"), std::string::npos);
}

}  // namespace
}  // namespace wh::wine
