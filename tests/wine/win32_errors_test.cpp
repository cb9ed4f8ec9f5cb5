// The system's own texts for Win32 codes, as FormatMessageW gives them here.
#include <gtest/gtest.h>

#include "platform/win32/win32_support.h"

namespace wh::win32 {
namespace {

TEST(Win32Errors, TextsComeFromTheSystemWithTheCode) {
  for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}) {
    const OsError error = os_error(code);
    EXPECT_EQ(error.code, code);
    const std::string text = error.text();
    const std::string suffix = " (os error " + std::to_string(code) + ")";
    ASSERT_GT(text.size(), suffix.size() + 3) << text;
    EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
    // The system ends its messages in a line break; the text form does not.
    const char before = text[text.size() - suffix.size() - 1];
    EXPECT_FALSE(before == ' ' || before == '\n' || before == '\r') << text;
  }
}

TEST(Win32Errors, AnUnknownCodeStillHasATextForm) {
  EXPECT_NE(os_error(0x2FFFFFFF).text().find("(os error 805306367)"), std::string::npos);
}

}  // namespace
}  // namespace wh::win32
