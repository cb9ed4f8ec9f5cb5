// Whole response lines for whole command lines. The cases live in
// frame_cases.json so that every build of the helper answers the same table.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "frame/entry.h"
#include "frame/output.h"
#include "platform/sim/sim_platform.h"

namespace wh {
namespace {

struct FrameCase {
  std::string name;
  std::vector<std::string> args;
  std::string line;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

std::vector<FrameCase> load_cases() {
  std::ifstream in(FRAME_CASES_PATH);
  std::stringstream text;
  text << in.rdbuf();
  std::vector<FrameCase> cases;
  for (const auto& c : nlohmann::json::parse(text.str())) {
    cases.push_back({c.at("name"), c.at("args"), c.at("line")});
  }
  return cases;
}

class FrameLines : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameLines, AnswersWithExactlyOneLine) {
  sim::SimPlatform platform{sim::SimMachine{}};
  CapturedLines out;
  EXPECT_EQ(run_helper(GetParam().args, platform, out), 0);
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(out.lines[0], GetParam().line);
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
