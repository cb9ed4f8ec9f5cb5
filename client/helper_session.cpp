#include "helper_session.h"

#include <chrono>
#include <random>
#include <utility>
#include <vector>

#include "helper_process.h"

namespace flash {

using nlohmann::json;

namespace {

std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string excerpt(std::string_view line) {
  constexpr std::size_t kLimit = 120;
  if (line.size() <= kLimit) return std::string(line);
  return std::string(line.substr(0, kLimit)) + "...";
}

bool is_progress(const json& line) {
  return line.is_object() && line.contains("event") && line["event"] == "progress";
}

}  // namespace

HelperSession::HelperSession(std::string helper_path, std::string session_id, std::ostream* transcript,
                             std::ostream* passthrough)
    : helper_path_(std::move(helper_path)),
      session_id_(std::move(session_id)),
      transcript_(transcript),
      passthrough_(passthrough) {}

wh::Result<HelperReply, std::string> parse_response(const json& line, const std::string& request_id) {
  if (!line.is_object() || !line.contains("id") || !line["id"].is_string() || !line.contains("ok") ||
      !line["ok"].is_boolean()) {
    return wh::Err(std::string("the helper's response has no id or ok member"));
  }
  const std::string id = line["id"].get<std::string>();
  HelperReply reply;
  reply.ok = line["ok"].get<bool>();
  if (id != request_id && !(id == "unknown" && !reply.ok)) {
    return wh::Err("the helper answered request " + id + " instead of " + request_id);
  }
  if (reply.ok) {
    reply.payload = line.contains("payload") ? line["payload"] : json();
    return reply;
  }
  const auto code = line.find("errorCode");
  const auto message = line.find("errorMessage");
  if (code == line.end() || !code->is_string() || message == line.end() || !message->is_string()) {
    return wh::Err(std::string("the helper's failure response has no errorCode or errorMessage"));
  }
  reply.error_code = code->get<std::string>();
  reply.error_message = message->get<std::string>();
  return reply;
}

wh::Result<HelperReply, std::string> HelperSession::call(const std::string& command, const json& payload,
                                                         const ProgressSink& on_progress, HelperRole role) {
  const std::string id = std::to_string(next_request_++);
  const json request{{"id", id}, {"sessionId", session_id_}, {"command", command}, {"payload", payload}};

  json received = json::array();
  std::string failure;  // the first fault; the lines are still read to the end
  bool answered = false;
  HelperReply reply;
  const LineSink on_line = [&](std::string_view text) {
    if (passthrough_ != nullptr) *passthrough_ << text << '\n' << std::flush;
    const json line = json::parse(text, /*cb=*/nullptr, /*allow_exceptions=*/false);
    received.push_back(line.is_discarded() ? json(std::string(text)) : line);
    if (!failure.empty()) return;
    if (line.is_discarded()) {
      failure = "the helper wrote a line that is not JSON: " + excerpt(text);
    } else if (answered) {
      failure = "the helper wrote more after its response: " + excerpt(text);
    } else if (is_progress(line)) {
      if (on_progress) on_progress(line);
    } else if (auto parsed = parse_response(line, id); !parsed) {
      failure = parsed.error() + ": " + excerpt(text);
    } else {
      reply = std::move(parsed).value();
      answered = true;
    }
  };
  // Every request goes on the helper's standard input: no file that another
  // program could rewrite before the helper reads it, and no limit of the
  // command line's length (first-boot files travel inside the request).
  auto status = run_helper_process(helper_path_, {"--request-stdin"}, dump(request), on_line, role);

  if (transcript_ != nullptr) {
    // Written by hand so that the request comes first, as it happened.
    *transcript_ << "{\"request\":" << dump(request) << ",\"lines\":" << dump(received) << "}\n" << std::flush;
  }
  if (!status) return wh::Err(command + ": " + status.error());
  if (!failure.empty()) return wh::Err(command + ": " + failure);
  if (!answered) {
    return wh::Err(command + ": the helper exited with status " + std::to_string(*status) +
                   " without a response line");
  }
  if (*status != 0) {
    return wh::Err(command + ": the helper exited with status " + std::to_string(*status) + " after its response");
  }
  return reply;
}

std::string make_session_id() {
  std::random_device device;
  const auto now = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  std::mt19937_64 mix(now ^ (static_cast<std::uint64_t>(device()) << 32) ^ device());
  static const char kHex[] = "0123456789abcdef";
  std::string id = "flash-";
  std::uint64_t bits = mix();
  for (int i = 0; i < 12; ++i, bits >>= 4) id.push_back(kHex[bits & 0xF]);
  return id;
}

}  // namespace flash
