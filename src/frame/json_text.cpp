#include "frame/json_text.h"

namespace wh {

using nlohmann::json;

Result<std::string, std::string> encode_json(const json& value) {
  try {
    return value.dump(/*indent=*/-1, /*indent_char=*/' ', /*ensure_ascii=*/false,
                      json::error_handler_t::strict);
  } catch (const json::exception& e) {
    return Err(std::string(e.what()));
  }
}

std::string encode_json_lossy(const json& value) {
  return value.dump(/*indent=*/-1, /*indent_char=*/' ', /*ensure_ascii=*/false,
                    json::error_handler_t::replace);
}

std::string quote_json_string(std::string_view text) {
  return encode_json_lossy(json(std::string(text)));
}

}  // namespace wh
