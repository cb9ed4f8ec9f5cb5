#include "refusal_explained.h"

namespace flash {

namespace {

// The image commands and the image's own failures (IMAGE_MISSING, XZ_INVALID,
// a failing read of it) touch no card: the file or the disk it is on is to
// blame.
std::string explain_image_failure(const std::string& command, const nlohmann::json& payload, const std::string& code,
                                  const std::string& message) {
  const auto says = [&](const char* text) { return message.find(text) != std::string::npos; };
  const bool extracting = command.starts_with("image_extract");
  const bool prepared = !command.starts_with("image_") && !payload.value("decompress", false);
  if (extracting && says("(os error 112)")) {
    return "the disk of the prepared image's cache is full; free some space there or use --cache on another drive";
  }
  if (says("The image is empty")) return "the image file is empty (a download that failed); download it again";
  if (says("is cut short")) return "the image file is cut short (a download that did not finish); download it again";
  if (says("Not a disk image") || says("Unsupported image format")) {
    return "the image file is not a disk image flash-card can write";
  }
  const std::string file = extracting ? "the image file or the prepared image"
                           : prepared ? "the prepared image in the cache"
                                      : "the image file";
  if (says("(os error 32)")) return "another program holds " + file + "; close it and try again";
  if (says("(os error 1167)") || says("(os error 21)")) {
    const std::string disk = extracting ? "the disk holding the image file or the prepared image's cache"
                             : prepared ? "the disk of the prepared image's cache"
                                        : "the disk holding the image file";
    return disk + " was disconnected; reconnect it and try again";
  }
  // Decoders read nothing but the image: their "io error" is the file's.
  if (says("Reading the image failed") || says("io error: ")) {
    return file + " could not be read; the card is not to blame";
  }
  if (code == "XZ_INVALID") return "the image is damaged (a broken or unfinished download); download it again";
  return "";  // "Image does not exist: …" and the like name the image themselves
}

}  // namespace

std::string explain_refusal(const std::string& command, const nlohmann::json& payload, const std::string& code,
                            const std::string& message) {
  const auto says = [&](const char* text) { return message.find(text) != std::string::npos; };
  if (code == "ELEVATION_DENIED") {
    return "Windows refused raw access to the card: run flash-card from an administrator console";
  }
  if (command.starts_with("image_") || code == "IMAGE_MISSING" || code == "XZ_INVALID" ||
      says("Reading the image failed")) {
    return explain_image_failure(command, payload, code, message);
  }
  if (says("(os error 32)") || code == "UNMOUNT_FAILED") {
    return "the card is busy: another program (File Explorer, an antivirus, another flasher) holds it; close it "
           "and try again";
  }
  if (code == "DEVICE_DISCONNECTED" || says("changed after preparation") || says("(os error 1167)")) {
    return "the card was removed or swapped for another; put the chosen card back and start again";
  }
  if (says("does not fit the target disk")) return "the image is larger than the card";
  return "";
}

}  // namespace flash
