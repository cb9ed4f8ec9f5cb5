// Whole response lines for whole command lines. The cases live in
// frame_cases.json so that every build of the helper answers the same table.
#include <fstream>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "frame/entry.h"
#include "frame/output.h"
#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_platform.h"
#include "sim_dir.h"

namespace wh {
namespace {

struct FrameCase {
  std::string name;
  std::vector<std::string> args;
  std::string line;
  std::optional<std::string> file;  // the request file's bytes
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
    FrameCase loaded{c.at("name"), c.at("args"), c.at("line"), std::nullopt};
    if (c.contains("file")) loaded.file = c.at("file").get<std::string>();
    cases.push_back(std::move(loaded));
  }
  return cases;
}

class FrameLines : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameLines, AnswersWithExactlyOneLine) {
  testing::SimDir dir;
  FrameCase c = GetParam();
  place_files(c, dir.path());
  sim::SimPlatform platform{sim::SimMachine{}};
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
