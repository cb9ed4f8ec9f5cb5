#include "ps_literal.h"

namespace wh::tools {

std::size_t single_quote_at(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return 0;
  if (text[pos] == '\'') return 1;
  // U+2018..U+201B are E2 80 98..9B in UTF-8.
  if (pos + 3 <= text.size() && static_cast<unsigned char>(text[pos]) == 0xE2 &&
      static_cast<unsigned char>(text[pos + 1]) == 0x80) {
    const auto last = static_cast<unsigned char>(text[pos + 2]);
    if (last >= 0x98 && last <= 0x9B) return 3;
  }
  return 0;
}

std::optional<SingleQuoted> read_single_quoted(std::string_view text, std::size_t pos) {
  const std::size_t open = single_quote_at(text, pos);
  if (open == 0) return std::nullopt;
  SingleQuoted literal;
  std::size_t at = pos + open;
  while (at < text.size()) {
    if (const std::size_t quote = single_quote_at(text, at)) {
      const std::size_t next = single_quote_at(text, at + quote);
      if (next == 0) {
        literal.end = at + quote;
        return literal;
      }
      // A doubled quote: the first escapes, the second is kept.
      literal.value.append(text.substr(at + quote, next));
      at += quote + next;
      continue;
    }
    literal.value.push_back(text[at]);
    ++at;
  }
  return std::nullopt;  // no closing quote
}

}  // namespace wh::tools
