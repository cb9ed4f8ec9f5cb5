#include "frame/response.h"

#include "frame/json_text.h"

namespace wh {
namespace {

using nlohmann::json;

Result<std::string, std::string> encode_response(std::string_view id,
                                                 const HelperResult<json>& outcome) {
  auto id_text = encode_json(json(std::string(id)));
  if (!id_text) return id_text;
  std::string line = "{\"id\":" + *id_text;
  if (outcome) {
    auto payload = encode_json(*outcome);
    if (!payload) return payload;
    line += ",\"ok\":true,\"payload\":" + *payload;
  } else {
    auto message = encode_json(json(outcome.error().message));
    if (!message) return message;
    line += ",\"ok\":false,\"errorCode\":\"";
    line += error_code_name(outcome.error().code);
    line += "\",\"errorMessage\":" + *message;
  }
  line += "}";
  return line;
}

}  // namespace

std::string frame_failure_line(std::string_view message) {
  // Escaped like any other string, so the line stays one JSON document
  // whatever the message holds.
  return "{\"id\":\"unknown\",\"ok\":false,\"errorCode\":\"UNKNOWN\",\"errorMessage\":" +
         quote_json_string(message) + "}";
}

std::string response_line(std::string_view id, const HelperResult<json>& outcome) {
  auto line = encode_response(id, outcome);
  if (!line) return frame_failure_line(line.error());
  return std::move(line).value();
}

}  // namespace wh
