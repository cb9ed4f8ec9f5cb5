// The exact bytes of response and progress lines.
#include <gtest/gtest.h>

#include "frame/json_text.h"
#include "frame/progress.h"
#include "frame/response.h"
#include "platform/sim/sim_platform.h"

namespace wh {
namespace {

using nlohmann::json;

TEST(ResponseLine, SuccessCarriesOnlyIdOkAndPayloadWithSortedMembers) {
  const json payload = {{"zeta", 1}, {"Alpha", json::array({json{{"b", 2}, {"a", 1}}})}, {"alpha", nullptr}};
  EXPECT_EQ(response_line("r", payload),
            R"({"id":"r","ok":true,"payload":{"Alpha":[{"a":1,"b":2}],"alpha":null,"zeta":1}})");
}

TEST(ResponseLine, FailureCarriesCodeAndMessageButNoPayload) {
  EXPECT_EQ(response_line("r", fail(ErrorCode::kDeviceNotRemovable, "x; raw write was not started.")),
            R"({"id":"r","ok":false,"errorCode":"DEVICE_NOT_REMOVABLE","errorMessage":"x; raw write was not started."})");
}

TEST(ResponseLine, EscapesOnlyQuotesBackslashesAndControlCharacters) {
  const std::string message = "q\" b\\ \b\f\n\r\t \x01\x1f \x7f / é 😀";
  EXPECT_EQ(response_line("r", fail(ErrorCode::kUnknown, message)),
            "{\"id\":\"r\",\"ok\":false,\"errorCode\":\"UNKNOWN\",\"errorMessage\":"
            "\"q\\\" b\\\\ \\b\\f\\n\\r\\t \\u0001\\u001f \x7f / é 😀\"}");
}

TEST(ResponseLine, AnUnencodableResponseStillGivesOneJsonLine) {
  // A payload string that is not UTF-8 cannot be written; the line says so,
  // and stays a JSON document although the encoder's text is inserted.
  const std::string line = response_line("r", json{{"path", "bad \xff byte"}});
  const json parsed = json::parse(line);
  EXPECT_EQ(parsed["id"], "unknown");
  EXPECT_EQ(parsed["ok"], false);
  EXPECT_EQ(parsed["errorCode"], "UNKNOWN");
  EXPECT_NE(parsed["errorMessage"].get<std::string>().find("UTF-8"), std::string::npos);
  EXPECT_EQ(line.rfind(R"({"id":"unknown","ok":false,"errorCode":"UNKNOWN","errorMessage":")", 0), 0u);
}

TEST(FrameFailureLine, EscapesItsMessage) {
  EXPECT_EQ(frame_failure_line("a\"b\nc"),
            R"({"id":"unknown","ok":false,"errorCode":"UNKNOWN","errorMessage":"a\"b\nc"})");
}

TEST(EmitProgress, WritesAllEightMembersInNameOrder) {
  const Request request{"r", "session \"1\"", "image_extract_xz", nullptr};
  sim::SimPlatform platform{sim::SimMachine{}};
  CapturedLines out;
  CommandContext context{request, platform, out};
  emit_progress(context, "image-prep", "PREPARE", 0, UINT64_MAX, 12, "Writing prepared image to cache");
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(out.lines[0],
            R"({"bytesProcessed":0,"bytesTotal":18446744073709551615,"event":"progress",)"
            R"("message":"Writing prepared image to cache","sessionId":"session \"1\"",)"
            R"("speedBps":12,"stage":"PREPARE","taskId":"image-prep"})");
}

TEST(EmitProgress, NeverFailsOnTextThatIsNotUtf8) {
  const Request request{"r", "s", "c", nullptr};
  sim::SimPlatform platform{sim::SimMachine{}};
  CapturedLines out;
  CommandContext context{request, platform, out};
  emit_progress(context, "t", "WRITE", 1, 2, 3, "to \xff");
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(json::parse(out.lines[0])["message"], "to \xEF\xBF\xBD");
}

TEST(BytesPerSecond, FloorsTheElapsedTimeAndSaturates) {
  using std::chrono::milliseconds;
  EXPECT_EQ(bytes_per_second(1000, milliseconds(0), 0.001), 1000000u);
  EXPECT_EQ(bytes_per_second(1000, milliseconds(500), 0.001), 2000u);
  EXPECT_EQ(bytes_per_second(1000, milliseconds(500), 1.0), 1000u);
  EXPECT_EQ(bytes_per_second(UINT64_MAX, milliseconds(0), 0.001), UINT64_MAX);
  EXPECT_EQ(bytes_per_second(0, milliseconds(10), 0.001), 0u);
  EXPECT_EQ(bytes_per_second(7, milliseconds(2000), 0.001), 3u);  // truncated
}

}  // namespace
}  // namespace wh
