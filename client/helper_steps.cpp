#include "helper_steps.h"

#include "flash_options.h"
#include "host_os.h"

namespace flash {

using nlohmann::json;

std::string explain_refusal(const std::string& code, const std::string& message) {
  const auto says = [&](const char* text) { return message.find(text) != std::string::npos; };
  if (code == "ELEVATION_DENIED") {
    return "Windows refused raw access to the card: run flash-card from an administrator console";
  }
  if (says("(os error 32)") || code == "UNMOUNT_FAILED") {
    return "the card is busy: another program (File Explorer, an antivirus, another flasher) holds it; close it "
           "and try again";
  }
  if (code == "DEVICE_DISCONNECTED" || says("changed after preparation") || says("(os error 1167)")) {
    return "the card was removed or swapped for another; put the chosen card back and start again";
  }
  if (code == "XZ_INVALID") return "the image is damaged (a broken or unfinished download); download it again";
  if (says("(os error 112)")) {
    return "there is no space left for the prepared image; free some or use --cache on another drive";
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
  auto reply = session_.call(command, payload, [this](const json& event) { view_.on_event(event); },
                             cleaning_up_ ? HelperRole::kCleanUp : HelperRole::kStep);
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
    const std::string explained = explain_refusal(reply->error_code, reply->error_message);
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
