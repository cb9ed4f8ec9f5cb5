// libFuzzer target for merge_cmdline. For UTF-8 inputs (what the helper
// hands it: a decoded cmdline.txt and a JSON string) the result is UTF-8,
// ends in its one line feed, and holds the kept tokens of the old line in
// order followed by every token of the addition, on a single line. Merging
// again after an addition made only of replaced tokens gives what merging
// once does: a repeated customization does not pile up. Other bytes must merely not crash it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "customize/cmdline.h"
#include "platform/unicode.h"

namespace {

// Unicode's White_Space, listed here again rather than taken from the code
// under test.
bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_line_break(char32_t c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Code points of valid UTF-8 with the byte each starts at.
struct CodePoint {
  char32_t value;
  std::size_t at;
  std::size_t length;
};

std::vector<CodePoint> decode(std::string_view text) {
  std::vector<CodePoint> points;
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t value = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (std::size_t k = 1; k < length; ++k) value = (value << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
    points.push_back({value, at, length});
    at += length;
  }
  return points;
}

std::vector<std::string> tokens(std::string_view text) {
  std::vector<std::string> out;
  std::string current;
  for (const CodePoint& point : decode(text)) {
    if (is_space(point.value)) {
      if (!current.empty()) out.push_back(current);
      current.clear();
    } else {
      current.append(text.substr(point.at, point.length));
    }
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

bool replaced(const std::string& token) {
  return token.rfind("systemd.run", 0) == 0 || token == "systemd.unit=kernel-command-line.target";
}

void check_merge(const std::string& existing, const std::string& addition) {
  const std::string merged = wh::merge_cmdline(existing, addition);
  if (!wh::is_valid_utf8(merged) || merged.empty() || merged.back() != '\n') std::abort();

  std::vector<std::string> expected;
  for (const std::string& token : tokens(existing)) {
    if (!replaced(token)) expected.push_back(token);
  }
  const std::vector<std::string> added = tokens(addition);
  expected.insert(expected.end(), added.begin(), added.end());
  if (tokens(merged) != expected) std::abort();

  const auto merged_points = decode(std::string_view(merged).substr(0, merged.size() - 1));
  for (const CodePoint& point : merged_points) {
    if (is_line_break(point.value)) std::abort();
  }
}

// The addition's tokens made into ones a later customization replaces.
std::string as_replaced_tokens(const std::string& addition) {
  std::string out;
  for (const std::string& token : tokens(addition)) out += "systemd.run" + token + " ";
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string existing = input.ConsumeRandomLengthString(4096);
  const std::string addition = input.ConsumeRemainingBytesAsString();
  if (!wh::is_valid_utf8(existing) || !wh::is_valid_utf8(addition)) {
    // Outside what the function promises, but it must still end its line.
    const std::string merged = wh::merge_cmdline(existing, addition);
    if (merged.empty() || merged.back() != '\n') std::abort();
    return 0;
  }
  check_merge(existing, addition);

  const std::string ours = as_replaced_tokens(addition);
  const std::string once = wh::merge_cmdline(existing, ours);
  if (wh::merge_cmdline(once, ours) != once) std::abort();
  if (wh::merge_cmdline(once, addition) != wh::merge_cmdline(existing, addition)) std::abort();
  return 0;
}
