// PowerShell's single-quoted string literals, read as PowerShell's own
// tokenizer reads them: the literal opens and closes with any of the five
// single-quote characters (U+0027, U+2018, U+2019, U+201A, U+201B), and two
// of them in a row (any two) stand for the second one. Nothing else is
// special inside. The text is UTF-8.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace wh::tools {

struct SingleQuoted {
  std::string value;  // the string the literal denotes
  std::size_t end = 0;  // the byte just past the closing quote
};

// The byte length of the single-quote character at `pos`, or 0 when there is
// none.
std::size_t single_quote_at(std::string_view text, std::size_t pos);

// The literal that starts at `pos`, or nullopt when no quote opens there or
// the text ends before the literal is closed.
std::optional<SingleQuoted> read_single_quoted(std::string_view text, std::size_t pos);

}  // namespace wh::tools
