#include "helper_steps.h"

#include "flash_options.h"
#include "host_os.h"
#include "plain_failure.h"

namespace flash {

using nlohmann::json;

std::optional<json> HelperSteps::call(const std::string& command, const json& payload, const ProgressSink& on_event) {
  if (failed_) return std::nullopt;
  if (interrupted() && !cleaning_up_) {
    failed_ = true;
    return std::nullopt;
  }
  auto reply = session_.call(
      command, payload,
      [&](const json& event) {
        view_.on_event(event);
        if (on_event) on_event(event);
      },
      cleaning_up_ ? HelperRole::kCleanUp : HelperRole::kStep);
  view_.finish(reply && reply->ok);
  // A helper stopped by the interruption fails; that is no news to tell.
  if (interrupted() && !cleaning_up_) {
    failed_ = true;
    return std::nullopt;
  }
  if (!reply) {
    fail("windows_helper did not answer as it should; put flash-card and windows_helper from one release side by "
         "side, and run with --verbose to see what it said",
         kExitFailure, reply.error());
    return std::nullopt;
  }
  if (!reply->ok) {
    // A clean-up's refusal does not replace the one that stopped the chain.
    if (refusal_code_.empty() || !cleaning_up_) {
      refusal_code_ = reply->error_code;
      refusal_message_ = reply->error_message;
    }
    fail(plain_failure(command, payload, reply->error_code, reply->error_message), kExitFailure,
         command + ": " + reply->error_code + ": " + reply->error_message);
    return std::nullopt;
  }
  return reply->payload;
}

int HelperSteps::fail(const std::string& reason, int status, const std::string& detail) {
  failed_ = true;
  reason_ = reason;
  detail_ = detail;
  // A clean-up refused for the same reason as the step before it says
  // nothing new to the person at the keyboard.
  if (step_options_.report_failures && !(cleaning_up_ && reason == told_)) {
    errors_ << "flash-card: " << reason_in_full() << '\n' << std::flush;
  }
  told_ = reason;
  return status;
}

std::string HelperSteps::reason_in_full() const {
  if (!step_options_.verbose || detail_.empty()) return reason_;
  return reason_ + " [" + detail_ + "]";
}

std::optional<json> HelperSteps::clean_up(const std::string& command, const json& payload) {
  const bool failed = failed_;
  const std::string reason = reason_, detail = detail_;
  failed_ = false;
  cleaning_up_ = true;
  auto reply = call(command, payload);
  failed_ = failed || !reply;
  cleaning_up_ = false;
  // The failure that stopped the chain, not its clean-up's.
  if (!reason.empty()) {
    reason_ = reason;
    detail_ = detail;
  }
  return reply;
}

}  // namespace flash
