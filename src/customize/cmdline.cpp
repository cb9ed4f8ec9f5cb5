#include "customize/cmdline.h"

#include <vector>

#include "platform/unicode.h"

namespace wh {

namespace {

std::vector<std::string_view> split_at_white_space(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t start = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t at = pos;
    if (is_unicode_whitespace(decode_utf8_at(text, pos))) {
      if (at > start) tokens.push_back(text.substr(start, at - start));
      start = pos;
    }
  }
  if (text.size() > start) tokens.push_back(text.substr(start));
  return tokens;
}

bool is_line_break(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }

}  // namespace

bool is_replaced_cmdline_token(std::string_view token) {
  return token.starts_with("systemd.run") || token == "systemd.unit=kernel-command-line.target";
}

std::string merge_cmdline(std::string_view existing, std::string_view addition) {
  std::string merged;
  for (std::string_view token : split_at_white_space(existing)) {
    if (is_replaced_cmdline_token(token)) continue;
    merged.append(token);
    merged.push_back(' ');
  }
  // The firmware reads the first line only: a line break inside the
  // addition would cut off what follows it.
  const std::string_view added = trim_unicode_whitespace(addition);
  for (std::size_t pos = 0; pos < added.size();) {
    const std::size_t at = pos;
    if (is_line_break(decode_utf8_at(added, pos))) {
      merged.push_back(' ');
    } else {
      merged.append(added.substr(at, pos - at));
    }
  }
  merged.push_back('\n');
  return merged;
}

}  // namespace wh
