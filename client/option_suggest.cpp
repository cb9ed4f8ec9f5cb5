#include "option_suggest.h"

#include <algorithm>

namespace flash {
namespace {

std::string name_of(const std::string& argument) { return argument.substr(0, argument.find('=')); }

// Optimal string alignment distance: one step per letter inserted, removed
// or changed, and per two neighbours swapped ("--jsno").
std::size_t distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

std::optional<std::string> unknown_option(const std::vector<std::string>& arguments,
                                          const std::vector<std::string>& known,
                                          const std::vector<std::string>& with_value) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") return std::nullopt;
    if (argument.size() < 2 || argument[0] != '-') continue;
    if (std::find(known.begin(), known.end(), name_of(argument)) == known.end()) return argument;
    const bool valued = std::find(with_value.begin(), with_value.end(), argument) != with_value.end();
    if (valued) ++i;  // its value, "-" or not
  }
  return std::nullopt;
}

std::string nearest_option(const std::string& typed, const std::vector<std::string>& known) {
  // Compared without their dashes, so "-disk" is as near "--disk" as can be.
  const auto bare = [](const std::string& option) {
    const std::size_t start = option.find_first_not_of('-');
    return start == std::string::npos ? std::string() : option.substr(start);
  };
  const std::string wanted = bare(name_of(typed));
  std::string best;
  std::size_t best_distance = std::max<std::size_t>(1, wanted.size() / 3) + 1;
  for (const std::string& option : known) {
    if (option.size() < 3) continue;  // one-letter options are no one's typo
    const std::size_t d = distance(wanted, bare(option));
    if (d < best_distance) {
      best = option;
      best_distance = d;
    }
  }
  return best;
}

}  // namespace flash
