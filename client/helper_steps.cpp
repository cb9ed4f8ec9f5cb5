#include "helper_steps.h"

#include "flash_options.h"
#include "host_os.h"

namespace flash {

using nlohmann::json;

std::string explain_refusal(const std::string& command, const std::string& code, const std::string& message) {
  const auto says = [&](const char* text) { return message.find(text) != std::string::npos; };
  if (code == "ELEVATION_DENIED") {
    return "Windows refused raw access to the card: run flash-card from an administrator console";
  }
  // The image commands touch no card: their failures are the image file's,
  // or, extracting, the cache disk's.
  const bool image_command = command.starts_with("image_");
  const bool extracting = command.starts_with("image_extract");
  if (image_command || code == "IMAGE_MISSING" || says("Reading the image failed")) {
    if (extracting && says("(os error 112)")) {
      return "the disk of the prepared image's cache is full; free some space there or use --cache on another drive";
    }
    if (says("The image is empty")) return "the image file is empty (a download that failed); download it again";
    if (says("is cut short")) return "the image file is cut short (a download that did not finish); download it again";
    if (says("Not a disk image") || says("Unsupported image format")) {
      return "the image file is not a disk image flash-card can write";
    }
    if (says("(os error 32)")) return "another program holds the image file (or the prepared image); close it and try again";
    if (says("(os error 1167)") || says("(os error 21)")) {
      return extracting ? "the disk holding the image or the prepared image's cache was disconnected; reconnect it "
                          "and try again"
                        : "the disk holding the image file was disconnected; reconnect it and try again";
    }
    if (code == "XZ_INVALID") return "the image is damaged (a broken or unfinished download); download it again";
    if (says("Reading the image failed")) return "the image file could not be read; the card is not to blame";
    return "";  // "Image does not exist: …" and the like name the image themselves
  }
  if (says("(os error 32)") || code == "UNMOUNT_FAILED") {
    return "the card is busy: another program (File Explorer, an antivirus, another flasher) holds it; close it "
           "and try again";
  }
  if (code == "DEVICE_DISCONNECTED" || says("changed after preparation") || says("(os error 1167)")) {
    return "the card was removed or swapped for another; put the chosen card back and start again";
  }
  if (code == "XZ_INVALID") {
    if (says("is cut short")) return "the image file is cut short (a download that did not finish); download it again";
    if (says("Not a disk image") || says("Unsupported image format") || says("The image is empty")) {
      return "the image file is not a disk image flash-card can write";
    }
    return "the image is damaged (a broken or unfinished download); download it again";
  }
  if (says("does not fit the target disk")) return "the image is larger than the card";
  return "";
}

std::optional<json> HelperSteps::call(const std::string& command, const json& payload) {
  if (failed_) return std::nullopt;
  if (interrupted() && !cleaning_up_) {
    failed_ = true;
    return std::nullopt;
  }
  auto reply = session_.call(command, payload, [this](const json& event) { view_.on_event(event); });
  view_.finish(reply && reply->ok);
  // A helper stopped by the interruption fails; that is no news to tell.
  if (interrupted() && !cleaning_up_) {
    failed_ = true;
    return std::nullopt;
  }
  if (!reply) {
    fail(reply.error());
    return std::nullopt;
  }
  if (!reply->ok) {
    const std::string explained = explain_refusal(command, reply->error_code, reply->error_message);
    const std::string helper_said = reply->error_code + ": " + reply->error_message;
    fail(command + " failed: " + (explained.empty() ? helper_said : explained + " (" + helper_said + ")"));
    return std::nullopt;
  }
  return reply->payload;
}

int HelperSteps::fail(const std::string& reason) {
  failed_ = true;
  reason_ = reason;
  errors_ << "flash-card: " << reason << '\n' << std::flush;
  return kExitFailure;
}

std::optional<json> HelperSteps::clean_up(const std::string& command, const json& payload) {
  const bool failed = failed_;
  const std::string reason = reason_;
  failed_ = false;
  cleaning_up_ = true;
  auto reply = call(command, payload);
  failed_ = failed || !reply;
  cleaning_up_ = false;
  if (!reason.empty()) reason_ = reason;  // the failure that stopped the chain, not its clean-up's
  return reply;
}

}  // namespace flash
