#include "platform/unicode.h"

#include <cstdint>

namespace wh {
namespace {

// Number of bytes of the sequence that `lead` starts, and the allowed range of
// the second byte (Unicode's table of well-formed UTF-8 byte sequences).
struct LeadInfo {
  int length;
  std::uint8_t second_low;
  std::uint8_t second_high;
};

LeadInfo lead_info(std::uint8_t lead) {
  if (lead < 0x80) return {1, 0, 0};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

char32_t decode_utf8_at(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(pos);
  const LeadInfo info = lead_info(lead);
  if (info.length == 1) {
    ++pos;
    return lead;
  }
  if (info.length == 0) {
    ++pos;
    return kReplacementCharacter;
  }
  char32_t cp = lead & (0x7F >> info.length);
  std::size_t i = pos + 1;
  for (int k = 1; k < info.length; ++k, ++i) {
    const std::uint8_t low = k == 1 ? info.second_low : 0x80;
    const std::uint8_t high = k == 1 ? info.second_high : 0xBF;
    if (i >= text.size() || byte(i) < low || byte(i) > high) {
      // The bytes consumed so far form one maximal ill-formed subpart.
      pos = i;
      return kReplacementCharacter;
    }
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  pos = i;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacementCharacter;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string utf8_lossy(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  for (std::size_t pos = 0; pos < bytes.size();) append_utf8(out, decode_utf8_at(bytes, pos));
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t start = pos;
    if (decode_utf8_at(bytes, pos) == kReplacementCharacter) {
      // A literal U+FFFD (EF BF BD) is valid; anything else that decoded to it is not.
      if (pos - start != 3 || bytes.substr(start, 3) != "\xEF\xBF\xBD") return false;
    }
  }
  return true;
}

bool is_unicode_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!is_unicode_whitespace(decode_utf8_at(text, next))) break;
    begin = next;
  }
  text.remove_prefix(begin);
  // Walk back over whole code points: find each one's start, then test it.
  std::size_t end = text.size();
  while (end > 0) {
    std::size_t start = end - 1;
    while (start > 0 && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t next = start;
    if (!is_unicode_whitespace(decode_utf8_at(text, next)) || next != end) break;
    end = start;
  }
  return text.substr(0, end);
}

bool has_control_character(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t c = decode_utf8_at(text, pos);
    if (c <= 0x1F || (c >= 0x7F && c <= 0x9F)) return true;
  }
  return false;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t cp = decode_utf8_at(text, pos);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacementCharacter;
    }
    append_utf8(out, cp);
  }
  return out;
}

}  // namespace wh
