// The one request a helper process serves, read from the command line.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/result.h"

namespace wh {

struct Request {
  std::string id;
  std::string session_id;
  std::string command;
  // Any JSON value; null when the member is absent. When the payload repeats
  // a member name, the last occurrence is the one kept.
  nlohmann::json payload;
};

// Parses a `WindowsHelperRequest`: an object with the string members `id`,
// `sessionId` and `command`, an optional `payload` of any type, and other
// members ignored. A known member given twice, a missing or mistyped one, and
// anything but JSON white space after the object are faults, and so are
// objects and arrays nested more than 64 deep (the request object is the
// first level), in the payload and in ignored members alike. The error is a
// sentence naming the first fault with its line and column.
Result<Request, std::string> parse_request(std::string_view text);

}  // namespace wh
