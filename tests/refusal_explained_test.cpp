// flash-card's explanations of the helper's refusals name what is to blame:
// the image file, the disk of the prepared image's cache, or the card. The
// same Windows error means another thing in another command.
#include <gtest/gtest.h>

#include "refusal_explained.h"

namespace flash {
namespace {

using nlohmann::json;

TEST(RefusalExplained, NamesTheImageFileTheCacheDiskOrTheCard) {
  const json streamed = {{"decompress", true}};
  const json prepared = json::object();
  const std::string gone = "The device is not connected. (os error 1167)";
  const std::string held = "The process cannot access the file because it is being used by another process. (os error 32)";
  const struct {
    const char* command;
    json payload;
    const char* code;
    std::string message;
    const char* explained;  // the start of the explanation
  } cases[] = {
      {"image_uncompressed_size", prepared, "XZ_INVALID", "io error: " + gone, "the disk holding the image file was"},
      {"write_image", streamed, "XZ_INVALID", "io error: " + gone, "the disk holding the image file was"},
      {"write_image", prepared, "WRITE_FAILED", "Reading the image failed: " + gone,
       "the disk of the prepared image's cache was"},
      {"image_extract_xz", prepared, "XZ_INVALID", "There is not enough space on the disk. (os error 112)",
       "the disk of the prepared image's cache is full"},
      {"image_extract_xz", prepared, "XZ_INVALID", "io error: " + gone,
       "the disk holding the image file or the prepared image's cache was"},
      {"image_validate", prepared, "XZ_INVALID", "io error: " + held, "another program holds the image file;"},
      {"write_image", streamed, "XZ_INVALID", "io error: Data error (cyclic redundancy check). (os error 23)",
       "the image file could not be read; the card is not to blame"},
      {"classify_mismatch", prepared, "IMAGE_MISSING", "Reading the image failed: Data error. (os error 23)",
       "the prepared image in the cache could not be read"},
      {"write_image", streamed, "XZ_INVALID", "The image is cut short: …; the card holds its first 5 bytes",
       "the image file is cut short"},
      {"write_image", streamed, "XZ_INVALID", "gzip error: invalid block type", "the image is damaged"},
      {"write_image", streamed, "WRITE_FAILED", gone, "the card was removed"},
      {"write_image", prepared, "DEVICE_DISCONNECTED", held, "the card is busy"},
      {"verify_hash", prepared, "UNMOUNT_FAILED", "Unable to lock mounted volume E:", "the card is busy"},
      {"write_image", prepared, "ELEVATION_DENIED", "Windows denied exclusive raw disk access.",
       "Windows refused raw access to the card"},
      {"write_image", streamed, "WRITE_FAILED", "The image does not fit the target disk: …",
       "the image is larger than the card"},
      {"write_image", prepared, "WRITE_FAILED", "failed to write whole buffer", ""},
  };
  for (const auto& c : cases) {
    const std::string explained = explain_refusal(c.command, c.payload, c.code, c.message);
    EXPECT_TRUE(explained.starts_with(c.explained) && (*c.explained || explained.empty()))
        << c.command << " " << c.code << " " << c.message << ": " << explained;
  }
}

}  // namespace
}  // namespace flash
