#include "platform/win32/registry_values.h"

#include <algorithm>

#include "platform/unicode.h"

namespace wh {

std::optional<std::string> page_file_path(std::string_view entry) {
  if (entry.starts_with("\\??\\")) entry.remove_prefix(4);
  // The sizes follow the path, each after a space; a path may hold spaces.
  for (;;) {
    while (entry.ends_with(' ')) entry.remove_suffix(1);
    const std::size_t space = entry.find_last_of(' ');
    if (space == std::string_view::npos) break;
    const std::string_view last = entry.substr(space + 1);
    if (!std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; })) break;
    entry = entry.substr(0, space);
  }
  if (entry.empty() || entry.starts_with("?:")) return std::nullopt;
  return std::string(entry);
}

std::vector<std::string> page_file_paths(const std::vector<std::string>& entries) {
  std::vector<std::string> paths;
  for (const std::string& entry : entries) {
    auto path = page_file_path(entry);
    if (!path) continue;
    const bool known = std::any_of(paths.begin(), paths.end(),
                                   [&](const std::string& p) { return ascii_lower(p) == ascii_lower(*path); });
    if (!known) paths.push_back(std::move(*path));
  }
  return paths;
}

}  // namespace wh
