// One chain of helper processes as flash-card runs it: each call reports a
// failure once, as one plain sentence (plain_failure.h), with the helper's
// command, code and words after it only with --verbose; after a failure or
// an interruption no further helper is started, but for the clean-up that
// brings a card back online.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "helper_session.h"
#include "progress_view.h"

namespace flash {

struct StepOptions {
  bool verbose = false;  // the helper's command, code and words after each failure
  // Failures are printed as they happen; a card of several keeps its own for
  // the summary, which prints it once.
  bool report_failures = true;
};

class HelperSteps {
 public:
  HelperSteps(HelperSession& session, ProgressView& view, std::ostream& errors, StepOptions options = {})
      : session_(session), view_(view), errors_(errors), step_options_(options) {}

  // One helper process; `on_event` sees its progress events too. nullopt
  // after a failure, which has been reported.
  std::optional<nlohmann::json> call(const std::string& command, const nlohmann::json& payload,
                                     const ProgressSink& on_event = {});
  // Reports `reason` ("flash-card: …", and `detail` with --verbose) and
  // stops the chain; returns `status`.
  int fail(const std::string& reason, int status = 1, const std::string& detail = "");
  // Runs `command` even after a failure or an interruption: the clean-up.
  std::optional<nlohmann::json> clean_up(const std::string& command, const nlohmann::json& payload);

  const std::string& reason() const { return reason_; }
  // The failure with its detail, as --verbose shows it.
  std::string reason_in_full() const;
  // The helper's code and words of the refusal that stopped the chain; ""
  // when none did.
  const std::string& refusal_code() const { return refusal_code_; }
  const std::string& refusal_message() const { return refusal_message_; }

 protected:
  HelperSession& session_;
  ProgressView& view_;
  std::ostream& errors_;
  StepOptions step_options_;

 private:
  bool failed_ = false;
  bool cleaning_up_ = false;
  std::string reason_;  // why the chain failed
  std::string detail_;  // the helper's command, code and words
  std::string told_;    // the last sentence reported
  std::string refusal_code_;
  std::string refusal_message_;
};

}  // namespace flash
