// The built executable, started as the desktop application starts it.
#include <cstdlib>

#include <gtest/gtest.h>

#include "sim_dir.h"

namespace wh {
namespace {

using testing::SimDir;

ProcessOutput run_helper_binary(const std::vector<std::string>& arguments) {
  sim::SimPlatform host{sim::SimMachine{}};
  auto run = host.run_process(WINDOWS_HELPER_BINARY, arguments);
  EXPECT_TRUE(run.ok());
  return run.ok() ? std::move(run).value() : ProcessOutput{};
}

TEST(HelperProcess, AnswersCancelTaskWithOneLineAndStatusZero) {
  const ProcessOutput run =
      run_helper_binary({"--request", R"({"id":"r1","sessionId":"s","command":"cancel_task"})"});
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.standard_output, "{\"id\":\"r1\",\"ok\":true,\"payload\":{\"canceled\":true}}\n");
  EXPECT_EQ(run.standard_error, "");
}

TEST(HelperProcess, FrameFailuresAlsoExitWithZero) {
  const ProcessOutput run = run_helper_binary({});
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.standard_output,
            "{\"id\":\"unknown\",\"ok\":false,\"errorCode\":\"UNKNOWN\",\"errorMessage\":\"Expected --request <json> argument\"}\n");
}

TEST(HelperProcess, HealthReadsTheMachineNamedByTheEnvironment) {
  SimDir sim;
  sim.write_machine({{"elevated", true}});
  sim.install_fake_powershell();
  ::setenv("WINDOWS_HELPER_SIM_DIR", sim.path().c_str(), 1);
  const ProcessOutput run =
      run_helper_binary({"--request", R"({"id":"h","sessionId":"s","command":"health"})"});
  ::unsetenv("WINDOWS_HELPER_SIM_DIR");
  EXPECT_EQ(run.standard_output,
            "{\"id\":\"h\",\"ok\":true,\"payload\":{\"helperVersion\":\"" WINDOWS_HELPER_VERSION "\",\"isElevated\":true,"
            "\"ok\":true,\"platform\":\"windows\",\"sessionId\":\"s\"}}\n");
}

TEST(HelperProcess, ABrokenMachineDescriptionIsASetUpFaultNotAnAnswer) {
  SimDir sim;
  sim.write_file("machine.json", "{not json");
  ::setenv("WINDOWS_HELPER_SIM_DIR", sim.path().c_str(), 1);
  const ProcessOutput run = run_helper_binary({"--request", "{}"});
  ::unsetenv("WINDOWS_HELPER_SIM_DIR");
  EXPECT_NE(run.exit_code, 0u);
  EXPECT_EQ(run.standard_output, "");
}

}  // namespace
}  // namespace wh
