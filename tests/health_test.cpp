// health against the PowerShell stand-in.
#include <gtest/gtest.h>

#include "frame/entry.h"
#include "frame/simple_commands.h"
#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::SimDir;

// The response line of one health request on the machine `machine`.
std::string health_line(const SimDir& sim, const json& machine) {
  sim.write_machine(machine);
  sim.install_fake_powershell();
  auto platform = sim.platform();
  CapturedLines out;
  EXPECT_EQ(run_helper({"--request", R"({"id":"h1","sessionId":"sess-9","command":"health"})"}, platform, out), 0);
  EXPECT_EQ(out.lines.size(), 1u);
  return out.lines.empty() ? "" : out.lines.back();
}

// A machine whose PowerShell answers the elevation check with `text`.
json replying(const std::string& text) {
  return {{"powershell", {{"responses", {{{"scriptContains", "IsInRole"}, {"stdout", text}}}}}}};
}

bool elevated_when_answering(const std::string& text) {
  SimDir sim;
  return json::parse(health_line(sim, replying(text)))["payload"]["isElevated"].get<bool>();
}

class Health : public ::testing::Test {
 protected:
  std::string answer(const json& machine) { return health_line(sim, machine); }
  SimDir sim;
};

TEST_F(Health, ReportsElevationFromTheMachine) {
  EXPECT_EQ(answer({{"elevated", true}}),
            R"({"id":"h1","ok":true,"payload":{"helperVersion":")" WINDOWS_HELPER_VERSION R"(","isElevated":true,"ok":true,"platform":"windows","sessionId":"sess-9"}})");
  EXPECT_EQ(sim.powershell_log(), std::vector<std::string>{kElevationScript});
}

TEST_F(Health, NotElevatedIsStillASuccess) {
  EXPECT_EQ(answer({{"elevated", false}}),
            R"({"id":"h1","ok":true,"payload":{"helperVersion":")" WINDOWS_HELPER_VERSION R"(","isElevated":false,"ok":true,"platform":"windows","sessionId":"sess-9"}})");
}

TEST(HealthAnswer, AnySpellingOfTrueCountsAndNothingElse) {
  for (const char* text : {"true", "TRUE", "  True\r\n", "xTrUey"}) EXPECT_TRUE(elevated_when_answering(text)) << text;
  for (const char* text : {"False", "", "tru e", "1"}) EXPECT_FALSE(elevated_when_answering(text)) << text;
}

TEST_F(Health, PowerShellFailureIsTheCommandsFailure) {
  EXPECT_EQ(answer({{"powershell", {{"fail", {{"exitCode", 1}, {"stderr", "Access denied by policy\r\n"}}}}}}),
            R"({"id":"h1","ok":false,"errorCode":"UNKNOWN","errorMessage":"Access denied by policy"})");
}

TEST_F(Health, MissingPowerShellIsToolMissing) {
  sim.write_machine({{"elevated", true}});
  auto platform = sim.platform();
  CapturedLines out;
  run_helper({"--request", R"({"id":"h2","sessionId":"s","command":"health"})"}, platform, out);
  EXPECT_EQ(out.lines.at(0),
            R"j({"id":"h2","ok":false,"errorCode":"TOOL_MISSING","errorMessage":"The system cannot find the file specified. (os error 2)"})j");
}

}  // namespace
}  // namespace wh
