#include "plain_failure.h"

#include <regex>

#include "card_state.h"
#include "refusal_explained.h"

namespace flash {
namespace {

// What each command is for, as the failure names it.
std::string doing(const std::string& command) {
  if (command == "list_disks") return "listing the disks";
  if (command == "prepare_disk") return "preparing the card";
  if (command == "write_image") return "writing the card";
  if (command == "verify_hash" || command == "classify_mismatch") return "reading the card back";
  if (command == "verify_boot") return "the boot check of the card";
  if (command == "apply_customization") return "writing the first-boot files to the card";
  if (command == "detach_target") return "releasing the card";
  if (command == "finalize_disk") return "bringing the card back online";
  if (command == "reformat_disk") return "reformatting the card";
  if (command.starts_with("image_")) return "reading the image";
  return command;
}

// The image's refusals: the file itself, or extracting, the cache's disk.
std::string image_failure(const std::string& command, const std::string& code, const std::string& message) {
  const auto says = [&](const char* text) { return message.find(text) != std::string::npos; };
  const bool extracting = command.starts_with("image_extract");
  if (code == "IMAGE_MISSING" || says("Image does not exist")) {
    const auto colon = message.find(": ");
    const std::string path = colon == std::string::npos ? std::string("image") : message.substr(colon + 2);
    return "the image " + path + " was not found; check its name and folder";
  }
  if (extracting && says("(os error 112)")) {
    return "the disk of the prepared image's cache is full; free some space there or use --cache on another drive";
  }
  if (says("The image is empty")) return "the image file is empty (a download that failed); download it again";
  if (says("is cut short")) return "the image file is cut short (a download that did not finish); download it again";
  if (says("Not a disk image") || says("Unsupported image format")) {
    return "the image file is not a disk image flash-card can write; download the image again";
  }
  if (says("(os error 32)")) return "another program holds the image file (or the prepared image); close it and try again";
  if (says("(os error 1167)") || says("(os error 21)")) {
    return extracting ? "the disk holding the image or the prepared image's cache was disconnected; reconnect it "
                        "and try again"
                      : "the disk holding the image file was disconnected; reconnect it and try again";
  }
  if (code == "XZ_INVALID") return "the image is damaged (a broken or unfinished download); download it again";
  return "the image file could not be read (" + without_error_code(message) + "); the card is not to blame";
}

}  // namespace

std::string without_error_code(std::string message) {
  static const std::regex kCode(R"( ?\(os error [0-9]+\))");
  message = std::regex_replace(message, kCode, "");
  while (!message.empty() && (message.back() == '.' || message.back() == ' ')) message.pop_back();
  return message;
}

bool refuses_the_image(const std::string& code) { return code == "IMAGE_MISSING" || code == "XZ_INVALID"; }

std::string plain_failure(const std::string& command, const nlohmann::json& payload, const std::string& code,
                          const std::string& message) {
  const auto says = [&](const char* text) { return message.find(text) != std::string::npos; };
  if (code == "ELEVATION_DENIED" || says("Access to a CIM resource was not available")) {
    return "Windows allows " + doing(command) + " to administrators only: run flash-card from an administrator "
           "console";
  }
  if (command.starts_with("image_") || code == "IMAGE_MISSING" || says("Reading the image failed")) {
    // The image file, or the prepared image in the cache, as the request says.
    if (code != "IMAGE_MISSING") {
      if (std::string named = explain_refusal(command, payload, code, message); !named.empty()) return named;
    }
    return image_failure(command, code, message);
  }
  const std::string swapped = "the card was removed or swapped for another; put the chosen card back and start again";
  // A failed identity proof is told first: a volume step's is reported as
  // UNMOUNT_FAILED.
  if (says_card_swapped(message)) return swapped;
  if (says("(os error 32)") || code == "UNMOUNT_FAILED") {
    return "the card is busy: another program (File Explorer, an antivirus, another flash-card) holds it; close it "
           "and try again";
  }
  if (code == "DEVICE_DISCONNECTED" || says("(os error 1167)")) return swapped;
  if (code == "DEVICE_NOT_REMOVABLE") {
    return "the disk in the reader is not the card that was chosen, or no longer looks like a card (" +
           without_error_code(message) + "); put the chosen card back and start again";
  }
  if (code == "XZ_INVALID") {
    if (std::string named = explain_refusal(command, payload, code, message); !named.empty()) return named;
    return image_failure(command, code, message);
  }
  if (says("does not fit the target disk")) return "the image is larger than the card; use a larger card";
  if (says("(os error 19)")) return "the card is write-protected: slide the card's lock switch and try again";
  if (code == "TOOL_MISSING") {
    return "Windows PowerShell could not be started, and " + doing(command) + " needs it; check that Windows "
           "PowerShell is installed";
  }
  const std::string cause = without_error_code(message);
  if (code == "WRITE_FAILED" || code == "READ_FAILED") {
    return doing(command) + " failed (" + cause + "); the card or its reader may be failing: try another reader "
           "or another card";
  }
  return doing(command) + " failed (" + cause + "); try again, and if it fails again, run with --verbose";
}

}  // namespace flash
