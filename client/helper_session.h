// One flash-card run's conversation with the helper: every request gets a
// fresh id and the run's session id, the helper is started once per request,
// and its lines are sorted into progress events and the one response. A
// helper that ends without a well-formed response, or writes anything after
// it, has failed, whatever its exit status.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "helper_process.h"
#include "platform/result.h"

namespace flash {

// The helper's answer: a payload, or its error code and message.
struct HelperReply {
  bool ok = false;
  std::string error_code;
  std::string error_message;
  nlohmann::json payload;
};

using ProgressSink = std::function<void(const nlohmann::json& event)>;

class HelperSession {
 public:
  // `transcript` receives one JSON line per request ({"request", "lines"});
  // `passthrough` receives every line of the helper unchanged, as it
  // arrives. Either may be null.
  HelperSession(std::string helper_path, std::string session_id, std::ostream* transcript,
                std::ostream* passthrough);

  // Runs `command` with `payload`. A failure here means the helper could not
  // be run or did not answer properly; a refusal by the helper is a reply
  // with ok false.
  wh::Result<HelperReply, std::string> call(const std::string& command, const nlohmann::json& payload,
                                            const ProgressSink& on_progress = {},
                                            HelperRole role = HelperRole::kStep);

  const std::string& session_id() const { return session_id_; }
  const std::string& helper_path() const { return helper_path_; }

 private:
  std::string helper_path_;
  std::string session_id_;
  std::ostream* transcript_;
  std::ostream* passthrough_;
  std::uint32_t next_request_ = 1;
};

// "flash-" and 12 hexadecimal digits, different from run to run.
std::string make_session_id();

// Reads one response line; an error text when it is not a response to
// `request_id` (the helper answers "unknown" when it could not read the
// request at all).
wh::Result<HelperReply, std::string> parse_response(const nlohmann::json& line, const std::string& request_id);

}  // namespace flash
