// Unicode text rules shared by every layer: lossy UTF-8 decoding, the
// White_Space trim, ASCII case folding, and UTF-8 <-> UTF-16 for the Windows
// API. Malformed input is never an error: each maximal ill-formed subsequence
// becomes one U+FFFD, as Windows and most decoders do.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace wh {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes the code point starting at `pos` and advances `pos` past it (or past
// the ill-formed bytes it replaced with U+FFFD). `pos` must be < text.size().
char32_t decode_utf8_at(std::string_view text, std::size_t& pos);

void append_utf8(std::string& out, char32_t code_point);

// The bytes as valid UTF-8, invalid sequences replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// The Unicode White_Space property.
bool is_unicode_whitespace(char32_t c);

// A C0 or C1 control character (U+0000-U+001F, U+007F-U+009F) anywhere in
// the text: a NUL would end a Windows string early, the others have no place
// in a name.
bool has_control_character(std::string_view text);

// Removes White_Space from both ends. The input must be valid UTF-8.
std::string_view trim_unicode_whitespace(std::string_view text);

// A-Z to a-z; every other byte unchanged.
std::string ascii_lower(std::string_view text);

std::u16string utf8_to_utf16(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

}  // namespace wh
