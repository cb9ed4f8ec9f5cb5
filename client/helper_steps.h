// One chain of helper processes as flash-card runs it: each call reports a
// failure once, explained for people with the helper's code and words kept,
// and after a failure or an interruption no further helper is started, but
// for the clean-up that brings a card back online.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "helper_session.h"
#include "progress_view.h"

namespace flash {

class HelperSteps {
 public:
  HelperSteps(HelperSession& session, ProgressView& view, std::ostream& errors)
      : session_(session), view_(view), errors_(errors) {}

  // One helper process. nullopt after a failure, which has been reported.
  std::optional<nlohmann::json> call(const std::string& command, const nlohmann::json& payload);
  // Reports `reason` ("flash-card: …") and stops the chain; kExitFailure.
  int fail(const std::string& reason);
  // Runs `command` even after a failure or an interruption: the clean-up.
  std::optional<nlohmann::json> clean_up(const std::string& command, const nlohmann::json& payload);

  const std::string& reason() const { return reason_; }

 protected:
  HelperSession& session_;
  ProgressView& view_;
  std::ostream& errors_;

 private:
  bool failed_ = false;
  bool cleaning_up_ = false;
  std::string reason_;  // why the chain failed
};

}  // namespace flash
