#include "helper_steps.h"

#include "flash_options.h"
#include "host_os.h"
#include "refusal_explained.h"

namespace flash {

using nlohmann::json;

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
    const std::string explained = explain_refusal(command, payload, reply->error_code, reply->error_message);
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
