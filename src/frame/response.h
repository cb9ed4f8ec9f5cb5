// The final line of every helper process.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "frame/errors.h"

namespace wh {

// The `HelperResponse` line for a command's outcome: members in the order
// id, ok, errorCode, errorMessage, payload, those without a value left out.
// When the response cannot be encoded, the line reports the encoder's fault
// instead (id "unknown", code "UNKNOWN").
std::string response_line(std::string_view id, const HelperResult<nlohmann::json>& outcome);

// The line for a request that could not be read: id "unknown", code "UNKNOWN".
std::string frame_failure_line(std::string_view message);

}  // namespace wh
