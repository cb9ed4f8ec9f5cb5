// Unicode lower-casing for searching device texts. The platform layer only
// folds ASCII; a vendor or product text may hold any script.
#pragma once

#include <string>
#include <string_view>

namespace wh {

// The full lower-case mapping of every code point: the simple mappings of
// Unicode 15.0 plus U+0130, which becomes "i" and U+0307. Final sigma is not
// told apart (U+03A3 always gives U+03C3): nothing here depends on it.
// Ill-formed UTF-8 becomes U+FFFD.
std::string unicode_lower(std::string_view text);

// One code point's simple lower-case mapping; itself when it has none.
char32_t simple_lower(char32_t c);

}  // namespace wh
