// flash-card.exe driving the real windows_helper.exe: the two programs meet
// through CreateProcessW, the quoted command line and the anonymous pipe.
// Wine has no card to write, so the run ends at the image check.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

#include "wine_support.h"

namespace wh::wine {
namespace {

using nlohmann::json;

TEST(FlashCardExe, ReadsTheHelperAndReportsAMissingImage) {
  const std::string image = scratch("no such image \xC3\xA9.img.xz");
  const std::string transcript = scratch("flash-card-transcript.jsonl");
  const auto output = platform().run_process(
      windows_path(FLASH_CARD_EXE), {image, "--disk", "1", "--yes", "--helper", windows_path(HELPER_EXE),
                                     "--transcript", transcript});
  ASSERT_TRUE(output) << output.error().text();
  EXPECT_EQ(output->exit_code, 1u);
  // health answered: its version and platform are on the display.
  EXPECT_NE(output->standard_output.find("Helper 0.1.0 on windows"), std::string::npos) << output->standard_output;
  EXPECT_EQ(output->standard_error,
            "flash-card: image_validate_xz failed: IMAGE_MISSING: Image does not exist: " + image + "\r\n");  // text mode
  // Both requests reached the helper through the command line intact.
  std::istringstream lines(read_file(transcript));
  std::vector<json> records;
  for (std::string line; std::getline(lines, line);) records.push_back(json::parse(line));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["lines"].back()["payload"]["platform"], "windows");
  EXPECT_EQ(records[1]["request"]["payload"]["imagePath"], image);
  EXPECT_EQ(records[1]["lines"].back()["errorMessage"], "Image does not exist: " + image);
}

}  // namespace
}  // namespace wh::wine
