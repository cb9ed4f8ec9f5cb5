// Whole response lines for whole command lines. The cases live in
// frame_cases.json so that every build of the helper answers the same table.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
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
  explicit InputPlatform(std::string input, sim::SimMachine machine = {})
      : SimPlatform(std::move(machine)), input_(std::move(input)) {}
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

// Request files and inputs that a JSON table cannot hold: each is refused at
// once with the frame's message, and nothing blocks (a FIFO without a writer
// would hang a reader that waited for one).
TEST(FrameLinesSources, RequestFilesThatAreNoPlainFileAndOversizedRequests) {
  const std::string big(16 * 1024 * 1024 + 1, ' ');
  struct Source {
    const char* name;
    std::function<void(testing::SimDir&, sim::SimPlatform&, std::vector<HandlePtr>&)> arrange;
    std::string input;
    std::vector<std::string> args;  // "{file}" is the sim directory's request.json
    std::string message;            // "{file}" likewise
  };
  const std::vector<Source> sources = {
      {"a FIFO", [](testing::SimDir& d, sim::SimPlatform&, std::vector<HandlePtr>&) {
         ASSERT_EQ(::mkfifo(d.file("request.json").c_str(), 0600), 0);
       }, "", {"--request-file", "{file}"}, "Request file {file} is not a regular file"},
      {"a link to a request", [](testing::SimDir& d, sim::SimPlatform&, std::vector<HandlePtr>&) {
         d.write_file("real.json", R"({"id":"l","sessionId":"s","command":"cancel_task"})");
         std::filesystem::create_symlink(d.file("real.json"), d.file("request.json"));
       }, "", {"--request-file", "{file}"}, "Request file {file} is not a regular file"},
      {"a directory", [](testing::SimDir& d, sim::SimPlatform&, std::vector<HandlePtr>&) {
         std::filesystem::create_directory(d.file("request.json"));
       }, "", {"--request-file", "{file}"}, "Cannot read request file {file}: " + sim::win32_error(5).text()},
      {"a file another handle may write", [](testing::SimDir& d, sim::SimPlatform& p, std::vector<HandlePtr>& held) {
         d.write_file("request.json", R"({"id":"w","sessionId":"s","command":"cancel_task"})");
         held.push_back(std::move(p.open_always_write(d.file("request.json"))->handle));
       }, "", {"--request-file", "{file}"}, "Cannot read request file {file}: " + sim::win32_error(32).text()},
      {"a file of 16 MiB and a byte", [&big](testing::SimDir& d, sim::SimPlatform&, std::vector<HandlePtr>&) {
         d.write_file("request.json", big);
       }, "", {"--request-file", "{file}"}, "Request file {file} is larger than 16 MiB"},
      {"standard input of 16 MiB and a byte", [](testing::SimDir&, sim::SimPlatform&, std::vector<HandlePtr>&) {},
       big, {"--request-stdin"}, "The request on standard input is larger than 16 MiB"},
  };
  for (const Source& s : sources) {
    SCOPED_TRACE(s.name);
    testing::SimDir dir;
    sim::SimMachine machine;
    machine.directory = dir.path();
    InputPlatform platform(s.input, std::move(machine));
    std::vector<HandlePtr> held;
    s.arrange(dir, platform, held);
    std::vector<std::string> args = s.args;
    std::string message = s.message;
    for (std::string* text : {&args.back(), &message}) {
      if (const auto at = text->find("{file}"); at != std::string::npos) text->replace(at, 6, dir.file("request.json"));
    }
    CapturedLines out;
    EXPECT_EQ(run_helper(args, platform, out), 0);
    ASSERT_EQ(out.lines.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(out.lines[0]).value("errorMessage", ""), message);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, FrameLines, ::testing::ValuesIn(load_cases()),
                         [](const auto& info) {
                           std::string name;
                           for (char c : info.param.name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

}  // namespace
}  // namespace wh
