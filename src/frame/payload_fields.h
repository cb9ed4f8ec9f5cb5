// Reading command arguments out of the request's `payload`. A field is looked
// up by its exact name; when `payload` is not an object every field is absent.
// Unknown members are never checked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "frame/errors.h"

namespace wh {

// The member `name` of `payload`, or null when absent or `payload` is not an
// object.
const nlohmann::json* payload_member(const nlohmann::json& payload, std::string_view name);

// The number rule: a non-negative integer is taken exactly; any other number
// goes through floating point and is cut toward zero, negatives giving 0 and
// values beyond 64 bits the largest value. Nullopt when `value` is not a
// number (a number written as a string included).
std::optional<std::uint64_t> count_value(const nlohmann::json& value);

// A string, the empty one included; otherwise "Missing <name> payload field".
HelperResult<std::string> required_text(const nlohmann::json& payload, std::string_view name);

// A number by the number rule; otherwise "Missing <name> payload field".
HelperResult<std::uint64_t> required_count(const nlohmann::json& payload, std::string_view name);

// A number by the number rule, or nullopt when absent or not a number.
std::optional<std::uint64_t> optional_count(const nlohmann::json& payload, std::string_view name);

// The JSON literal true or false; anything else is false.
bool optional_flag(const nlohmann::json& payload, std::string_view name);

// A string, or `fallback` when absent or of another type.
std::string text_or(const nlohmann::json& payload, std::string_view name, std::string_view fallback);

}  // namespace wh
