// The dispatcher's three answers: a handler's own, a known command that this
// build lacks (every command is built now, so only a table without it shows
// that path), and a name that is no command at all.
#include <gtest/gtest.h>

#include "frame/entry.h"
#include "platform/sim/sim_platform.h"

namespace wh {
namespace {

HelperResult<nlohmann::json> answer(CommandContext&) { return nlohmann::json{{"answered", true}}; }

TEST(Dispatch, KnownCommandsWithoutAHandlerNeverSucceed) {
  constexpr CommandEntry kPartial[] = {{"health", answer}, {"verify_boot", nullptr}};
  const auto unknown = [](const std::string& message) {
    return R"({"id":"d","ok":false,"errorCode":"UNKNOWN","errorMessage":")" + message + "\"}";
  };
  const struct {
    std::string command;
    std::string line;
  } cases[] = {
      {"health", R"({"id":"d","ok":true,"payload":{"answered":true}})"},
      {"verify_boot", unknown("Helper command verify_boot is not available in this build")},
      {"apply_customization", unknown("Helper command apply_customization is not available in this build")},
      {"Health", unknown("Unsupported helper command: Health")},
  };
  for (const auto& c : cases) {
    sim::SimPlatform platform{sim::SimMachine{}};
    CapturedLines out;
    const nlohmann::json request{{"id", "d"}, {"sessionId", "s"}, {"command", c.command}};
    EXPECT_EQ(run_request({"--request", request.dump()}, platform, out, kPartial), 0);
    ASSERT_EQ(out.lines.size(), 1u);
    EXPECT_EQ(out.lines[0], c.line) << c.command;
  }
}

}  // namespace
}  // namespace wh
