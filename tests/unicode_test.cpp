#include <gtest/gtest.h>

#include "platform/unicode.h"

namespace wh {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8Lossy, ReplacesEachMaximalIllFormedSubpartOnce) {
  EXPECT_EQ(utf8_lossy("plain é ✓ 😀"), "plain é ✓ 😀");
  EXPECT_EQ(utf8_lossy("a\xff" "b"), "a" + kFffd + "b");
  EXPECT_EQ(utf8_lossy("\xC0\xAF"), kFffd + kFffd);             // overlong: both bytes invalid
  EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), kFffd + kFffd + kFffd);  // encoded surrogate
  EXPECT_EQ(utf8_lossy("\xE2\x82"), kFffd);                      // truncated at the end
  EXPECT_EQ(utf8_lossy("\xE2\x82z"), kFffd + "z");
  EXPECT_EQ(utf8_lossy("\xF4\x90\x80\x80"), kFffd + kFffd + kFffd + kFffd);  // above U+10FFFF
  EXPECT_EQ(utf8_lossy(std::string("nul\0byte", 8)), std::string("nul\0byte", 8));
}

TEST(Utf8Lossy, ValidityCheckAcceptsALiteralReplacementCharacter) {
  EXPECT_TRUE(is_valid_utf8("x" + kFffd));
  EXPECT_FALSE(is_valid_utf8("x\x80"));
}

TEST(TrimUnicodeWhitespace, RemovesEveryWhiteSpaceCharacterAtBothEnds) {
  EXPECT_EQ(trim_unicode_whitespace(" \t\r\n\v\f True \r\n"), "True");
  // U+0085, U+00A0, U+2028, U+3000 around, U+200B (not White_Space) kept.
  EXPECT_EQ(trim_unicode_whitespace("\xC2\x85\xC2\xA0 a b \xE2\x80\xA8\xE3\x80\x80"), "a b");
  EXPECT_EQ(trim_unicode_whitespace("\xE2\x80\x8B" "x"), "\xE2\x80\x8B" "x");
  EXPECT_EQ(trim_unicode_whitespace(" \xE3\x80\x80 "), "");
  EXPECT_EQ(trim_unicode_whitespace("é "), "é");
}

TEST(AsciiLower, ChangesOnlyAsciiLetters) { EXPECT_EQ(ascii_lower("TRUE Ü_Z"), "true Ü_z"); }

TEST(Utf16, RoundTripsAndReplacesUnpairedSurrogates) {
  const std::string text = "C:\\Temp\\Größe 😀";
  EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(text)), text);
  EXPECT_EQ(utf8_to_utf16("😀"), std::u16string(u"\xD83D\xDE00"));
  EXPECT_EQ(utf16_to_utf8(std::u16string(u"a\xD800" u"b")), "a" + kFffd + "b");
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, u'\xDC00')), kFffd);
  EXPECT_EQ(utf8_to_utf16("\xff"), std::u16string(u"\xFFFD"));
}

}  // namespace
}  // namespace wh
