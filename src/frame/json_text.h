// How the helper writes JSON: compact, UTF-8 as is, and only quotation mark,
// backslash and control characters escaped (the short escapes where JSON has
// them, "\u00xx" in lower case otherwise). Objects come out sorted by member
// name, since the document type keeps its members in a sorted map.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/result.h"

namespace wh {

// Fails, with the encoder's message, when a string in `value` is not UTF-8.
Result<std::string, std::string> encode_json(const nlohmann::json& value);

// As above, but ill-formed UTF-8 becomes U+FFFD instead of failing.
std::string encode_json_lossy(const nlohmann::json& value);

// `text` as a JSON string literal, quotes included; ill-formed UTF-8 becomes
// U+FFFD.
std::string quote_json_string(std::string_view text);

}  // namespace wh
