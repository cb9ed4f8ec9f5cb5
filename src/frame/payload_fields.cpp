#include "frame/payload_fields.h"

#include <cmath>

namespace wh {

using nlohmann::json;

const json* payload_member(const json& payload, std::string_view name) {
  if (!payload.is_object()) return nullptr;
  auto it = payload.find(name);
  return it == payload.end() ? nullptr : &*it;
}

std::optional<std::uint64_t> count_value(const json& value) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer()) {
    const auto v = value.get<std::int64_t>();
    return v < 0 ? 0 : static_cast<std::uint64_t>(v);
  }
  if (value.is_number_float()) {
    const double v = std::trunc(value.get<double>());
    if (!(v > 0)) return 0;  // negative, zero or NaN
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(v);
  }
  return std::nullopt;
}

static HelperError missing(std::string_view name) {
  return {ErrorCode::kUnknown, "Missing " + std::string(name) + " payload field"};
}

HelperResult<std::string> required_text(const json& payload, std::string_view name) {
  const json* v = payload_member(payload, name);
  if (v == nullptr || !v->is_string()) return Err(missing(name));
  return v->get<std::string>();
}

HelperResult<std::uint64_t> required_count(const json& payload, std::string_view name) {
  const json* v = payload_member(payload, name);
  std::optional<std::uint64_t> count = v ? count_value(*v) : std::nullopt;
  if (!count) return Err(missing(name));
  return *count;
}

std::optional<std::uint64_t> optional_count(const json& payload, std::string_view name) {
  const json* v = payload_member(payload, name);
  return v ? count_value(*v) : std::nullopt;
}

bool optional_flag(const json& payload, std::string_view name) {
  const json* v = payload_member(payload, name);
  return v != nullptr && v->is_boolean() && v->get<bool>();
}

std::string text_or(const json& payload, std::string_view name, std::string_view fallback) {
  const json* v = payload_member(payload, name);
  return v != nullptr && v->is_string() ? v->get<std::string>() : std::string(fallback);
}

}  // namespace wh
