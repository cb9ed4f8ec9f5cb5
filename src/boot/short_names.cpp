// The 8.3 names of a FAT directory, and the look-ups the boot checks make in
// them. Long names are never assembled: the checks only need short names.
#include <algorithm>

#include "boot/boot_reader.h"
#include "platform/unicode.h"

namespace wh {
namespace {

constexpr std::size_t kEntrySize = 32;
constexpr std::uint8_t kEndOfDirectory = 0x00;
constexpr std::uint8_t kDeleted = 0xE5;
// Volume labels carry it, and so do long-name entries (attributes 0x0F).
constexpr std::uint8_t kVolumeLabelBit = 0x08;

std::string ascii_upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// A space-padded name field, decoded leniently and trimmed like the boot
// sector's text label, in upper case.
std::string name_field(std::span<const std::uint8_t> field) {
  const std::string raw(field.begin(), field.end());
  return ascii_upper(trim_unicode_whitespace(utf8_lossy(raw)));
}

}  // namespace

std::vector<std::string> list_short_names(std::span<const std::uint8_t> directory) {
  std::vector<std::string> names;
  for (std::size_t at = 0; at + kEntrySize <= directory.size(); at += kEntrySize) {
    const auto entry = directory.subspan(at, kEntrySize);
    if (entry[0] == kEndOfDirectory) break;
    if (entry[0] == kDeleted || (entry[11] & kVolumeLabelBit) != 0) continue;
    std::string name = name_field(entry.subspan(0, 8));
    if (name.empty()) continue;
    const std::string extension = name_field(entry.subspan(8, 3));
    if (!extension.empty()) name += "." + extension;
    names.push_back(std::move(name));
  }
  return names;
}

bool contains_short_name(const std::vector<std::string>& names, std::string_view wanted) {
  const std::string upper = ascii_upper(wanted);
  return std::find(names.begin(), names.end(), upper) != names.end();
}

bool contains_short_name_pattern(const std::vector<std::string>& names, std::string_view prefix,
                                 std::string_view extension) {
  const std::string head = ascii_upper(prefix);
  const std::string tail = "." + ascii_upper(extension);
  return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
    return name.starts_with(head) && name.ends_with(tail);
  });
}

}  // namespace wh
