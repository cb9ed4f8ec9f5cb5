#include <gtest/gtest.h>

#include "frame/request.h"

namespace wh {
namespace {

using nlohmann::json;

Request parsed(std::string_view text) {
  auto request = parse_request(text);
  EXPECT_TRUE(request.ok()) << (request.ok() ? "" : request.error());
  return request.ok() ? std::move(request).value() : Request{};
}

std::string fault(std::string_view text) {
  auto request = parse_request(text);
  EXPECT_FALSE(request.ok());
  return request.ok() ? "" : request.error();
}

TEST(ParseRequest, ReadsTheMembersInAnyOrder) {
  Request r = parsed(R"({"payload":{"a":1},"command":"health","sessionId":"s1","id":"r1"})");
  EXPECT_EQ(r.id, "r1");
  EXPECT_EQ(r.session_id, "s1");
  EXPECT_EQ(r.command, "health");
  EXPECT_EQ(r.payload, json({{"a", 1}}));
}

TEST(ParseRequest, AbsentPayloadIsNull) {
  EXPECT_TRUE(parsed(R"({"id":"r","sessionId":"s","command":"c"})").payload.is_null());
}

TEST(ParseRequest, PayloadKeepsTheLastOfRepeatedMembersAtEveryDepth) {
  Request r = parsed(
      R"({"id":"r","sessionId":"s","command":"c","payload":)"
      R"({"n":1,"inner":{"x":"a","x":"b"},"list":[{"k":1,"k":2},3],"n":2}})");
  EXPECT_EQ(r.payload, json::parse(R"({"n":2,"inner":{"x":"b"},"list":[{"k":2},3]})"));
}

TEST(ParseRequest, PayloadKeepsNumberKinds) {
  Request r = parsed(
      R"({"id":"r","sessionId":"s","command":"c","payload":{"u":18446744073709551615,"i":-1,"f":512.9,"e":1e3,"big":18446744073709551616}})");
  EXPECT_TRUE(r.payload["u"].is_number_unsigned());
  EXPECT_EQ(r.payload["u"].get<std::uint64_t>(), UINT64_MAX);
  EXPECT_TRUE(r.payload["i"].is_number_integer());
  EXPECT_TRUE(r.payload["f"].is_number_float());
  EXPECT_TRUE(r.payload["e"].is_number_float());
  EXPECT_TRUE(r.payload["big"].is_number_float());
}

TEST(ParseRequest, ScalarPayloadsAreKept) {
  EXPECT_EQ(parsed(R"({"id":"r","sessionId":"s","command":"c","payload":"text"})").payload, "text");
  EXPECT_EQ(parsed(R"({"id":"r","sessionId":"s","command":"c","payload":[]})").payload, json::array());
}

TEST(ParseRequest, RepeatedUnknownMembersAreIgnored) {
  EXPECT_EQ(parsed(R"({"x":1,"id":"r","x":[2],"sessionId":"s","command":"c","x":{}})").id, "r");
}

TEST(ParseRequest, EveryRequiredMemberIsNamedWhenMissing) {
  EXPECT_NE(fault(R"({"sessionId":"s","command":"c"})").find(R"(missing member "id")"), std::string::npos);
  EXPECT_NE(fault(R"({"id":"r","sessionId":"s"})").find(R"(missing member "command")"), std::string::npos);
}

TEST(ParseRequest, DuplicateKnownMembersAreFaultsWhateverTheirValues) {
  EXPECT_NE(fault(R"({"id":"r","sessionId":"s","command":"c","payload":1,"payload":1})")
                .find(R"(duplicate member "payload")"),
            std::string::npos);
  EXPECT_NE(fault(R"({"id":"r","sessionId":"s","sessionId":"s","command":"c"})")
                .find(R"(duplicate member "sessionId")"),
            std::string::npos);
}

TEST(ParseRequest, WrongTypesAreFaults) {
  EXPECT_NE(fault(R"({"id":"r","sessionId":{"a":1},"command":"c"})").find(R"("sessionId" must be a string)"),
            std::string::npos);
  EXPECT_NE(fault(R"({"id":["r"],"sessionId":"s","command":"c"})").find(R"("id" must be a string)"),
            std::string::npos);
  EXPECT_NE(fault("\"just a string\"").find("expected a request object"), std::string::npos);
}

TEST(ParseRequest, FaultsNameLineAndColumn) {
  EXPECT_EQ(fault("{\"id\":\"r\",\n\"sessionId\":\"s\",\n\"command\":\"c\"}\n\n  !"),
            "parse error at line 5, column 3: trailing characters");
  EXPECT_EQ(fault("{\"id\":\"r\",\n  \"id\":\"r\"}"),
            "parse error at line 2, column 6: duplicate member \"id\"");
}

TEST(ParseRequest, TextMustBeUtf8) {
  EXPECT_NE(fault("{\"id\":\"\xff\",\"sessionId\":\"s\",\"command\":\"c\"}").find("parse error at line 1"),
            std::string::npos);
  EXPECT_NE(fault(R"({"id":"\ud800","sessionId":"s","command":"c"})").find("parse error"), std::string::npos);
}

TEST(ParseRequest, NumbersBeyondDoubleAreFaultsWithAPosition) {
  EXPECT_NE(fault(R"({"id":"r","sessionId":"s","command":"c","payload":1e400})").find("parse error at line 1"),
            std::string::npos);
}

TEST(ParseRequest, NestingStopsAtSixtyFourLevels) {
  const auto nested = [](const char* member, int levels) {
    return R"({"id":"r","sessionId":"s","command":"c",")" + std::string(member) + "\":" +
           std::string(levels, '[') + std::string(levels, ']') + "}";
  };
  EXPECT_EQ(parsed(nested("payload", 63)).payload.dump().size(), 126u);
  // The 65th level is refused where it opens, before it is built.
  EXPECT_EQ(fault(nested("payload", 64)), "parse error at line 1, column 114: nesting deeper than 64 levels");
  EXPECT_EQ(fault(nested("ignored", 64)), "parse error at line 1, column 114: nesting deeper than 64 levels");
}

TEST(ParseRequest, IncompleteTextIsAFault) {
  EXPECT_NE(fault(R"({"id":"r","sessionId":"s","command":"c")").find("unexpected end of input"),
            std::string::npos);
}

}  // namespace
}  // namespace wh
