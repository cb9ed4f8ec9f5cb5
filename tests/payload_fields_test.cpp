#include <gtest/gtest.h>

#include "frame/payload_fields.h"

namespace wh {
namespace {

using nlohmann::json;

std::uint64_t count_of(const char* payload_text) {
  auto count = required_count(json::parse(payload_text), "n");
  EXPECT_TRUE(count.ok());
  return count.ok() ? *count : 0;
}

TEST(RequiredCount, FollowsTheNumberRule) {
  EXPECT_EQ(count_of(R"({"n":512})"), 512u);
  EXPECT_EQ(count_of(R"({"n":512.9})"), 512u);
  EXPECT_EQ(count_of(R"({"n":-1})"), 0u);
  EXPECT_EQ(count_of(R"({"n":-0.5})"), 0u);
  EXPECT_EQ(count_of(R"({"n":1e3})"), 1000u);
  EXPECT_EQ(count_of(R"({"n":1.9e9})"), 1900000000u);
  EXPECT_EQ(count_of(R"({"n":18446744073709551615})"), UINT64_MAX);
  EXPECT_EQ(count_of(R"({"n":18446744073709551616})"), UINT64_MAX);
  EXPECT_EQ(count_of(R"({"n":1e300})"), UINT64_MAX);
  EXPECT_EQ(count_of(R"({"n":-99999999999999999999})"), 0u);
  // Integers are taken exactly, even where a double would round.
  EXPECT_EQ(count_of(R"({"n":9007199254740993})"), 9007199254740993u);
}

TEST(RequiredCount, NonNumbersAreMissing) {
  for (const char* payload : {R"({"n":"5"})", R"({"n":null})", R"({"n":true})", R"({})", R"([5])", "5"}) {
    auto count = required_count(json::parse(payload), "n");
    ASSERT_FALSE(count.ok()) << payload;
    EXPECT_EQ(count.error().code, ErrorCode::kUnknown);
    EXPECT_EQ(count.error().message, "Missing n payload field");
  }
}

TEST(RequiredText, AcceptsOnlyStringsTheEmptyOneIncluded) {
  EXPECT_EQ(*required_text(json::parse(R"({"imagePath":""})"), "imagePath"), "");
  auto number = required_text(json::parse(R"({"imagePath":5})"), "imagePath");
  ASSERT_FALSE(number.ok());
  EXPECT_EQ(number.error().message, "Missing imagePath payload field");
  // Names are matched exactly.
  EXPECT_FALSE(required_text(json::parse(R"({"ImagePath":"x"})"), "imagePath").ok());
}

TEST(OptionalFields, FallBackOnAbsenceAndWrongTypes) {
  const json payload = json::parse(R"({"yes":true,"no":false,"one":1,"text":"t","word":"true"})");
  EXPECT_TRUE(optional_flag(payload, "yes"));
  EXPECT_FALSE(optional_flag(payload, "no"));
  EXPECT_FALSE(optional_flag(payload, "one"));
  EXPECT_FALSE(optional_flag(payload, "word"));
  EXPECT_FALSE(optional_flag(payload, "absent"));
  EXPECT_EQ(text_or(payload, "text", "unknown"), "t");
  EXPECT_EQ(text_or(payload, "one", "unknown"), "unknown");
  EXPECT_EQ(optional_count(payload, "one"), 1u);
  EXPECT_EQ(optional_count(payload, "text"), std::nullopt);
}

TEST(OptionalFields, NonObjectPayloadHasNoFields) {
  for (const json& payload : {json::parse(R"([{"yes":true}])"), json("yes"), json()}) {
    EXPECT_FALSE(optional_flag(payload, "yes"));
    EXPECT_EQ(payload_member(payload, "yes"), nullptr);
  }
}

}  // namespace
}  // namespace wh
