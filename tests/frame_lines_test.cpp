// Whole response lines for whole command lines. The cases live in
// frame_cases.json so that every build of the helper answers the same table.
#include <fstream>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "frame/entry.h"
#include "frame/output.h"
#include "memory_handle.h"
#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_platform.h"
#include "sim_dir.h"

namespace wh {
namespace {

struct FrameCase {
  std::string name;
  std::vector<std::string> args;
  std::string line;
  std::optional<std::string> file;   // the request file's bytes
  std::optional<std::string> input;  // what standard input holds
};

// "{file}" (the case's request file, written here) and "{missing}" (a path
// with nothing behind it) put in place in the arguments and, JSON-escaped,
// in the expected line, with "{not found}", the system's text for error 2.
void place_files(FrameCase& c, const std::string& directory) {
  const std::string file = directory + "/request.json";
  const std::string missing = directory + "/no-such-request.json";
  if (c.file) std::ofstream(file, std::ios::binary) << *c.file;
  const auto replace = [](std::string& text, const std::string& mark, const std::string& with) {
    for (std::size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), with);
  };
  for (std::string& arg : c.args) {
    replace(arg, "{file}", file);
    replace(arg, "{missing}", missing);
  }
  const auto escaped = [](const std::string& path) {
    const std::string quoted = nlohmann::json(path).dump();
    return quoted.substr(1, quoted.size() - 2);
  };
  replace(c.line, "{file}", escaped(file));
  replace(c.line, "{missing}", escaped(missing));
  replace(c.line, "{not found}", sim::win32_error(2).text());
}

// Names the case in test output instead of dumping its bytes.
void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

std::vector<FrameCase> load_cases() {
  std::ifstream in(FRAME_CASES_PATH);
  std::stringstream text;
  text << in.rdbuf();
  std::vector<FrameCase> cases;
  for (const auto& c : nlohmann::json::parse(text.str())) {
    FrameCase loaded{c.at("name"), c.at("args"), c.at("line"), std::nullopt, std::nullopt};
    if (c.contains("file")) loaded.file = c.at("file").get<std::string>();
    if (c.contains("stdin")) loaded.input = c.at("stdin").get<std::string>();
    cases.push_back(std::move(loaded));
  }
  return cases;
}

// Standard input holding the case's bytes (nothing when it has none).
class InputPlatform : public sim::SimPlatform {
 public:
  explicit InputPlatform(std::string input) : SimPlatform(sim::SimMachine{}), input_(std::move(input)) {}
  OsResult<HandlePtr> standard_input() override {
    return HandlePtr(std::make_unique<MemoryHandle>(Bytes(input_.begin(), input_.end())));
  }

 private:
  std::string input_;
};

class FrameLines : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameLines, AnswersWithExactlyOneLine) {
  testing::SimDir dir;
  FrameCase c = GetParam();
  place_files(c, dir.path());
  InputPlatform platform(c.input.value_or(""));
  CapturedLines out;
  EXPECT_EQ(run_helper(c.args, platform, out), 0);
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(out.lines[0], c.line);
  // Every answer is one JSON document on one line.
  EXPECT_EQ(out.lines[0].find('\n'), std::string::npos);
  EXPECT_TRUE(nlohmann::json::accept(out.lines[0]));
}

INSTANTIATE_TEST_SUITE_P(Table, FrameLines, ::testing::ValuesIn(load_cases()),
                         [](const auto& info) {
                           std::string name;
                           for (char c : info.param.name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

}  // namespace
}  // namespace wh
