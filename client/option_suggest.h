// A mistyped option and the nearest one flash-card knows: "--dsk" is
// "--disk", "--jsno" is "--json". Nearness is the edit distance (letters
// inserted, removed, changed or two swapped), within a third of the name.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace flash {

// The first argument before a lone "--" that looks like an option ("-x",
// "--name", "--name=value") and is none of `known` (given with their
// dashes); nullopt when every one is known. The argument after one of
// `with_value` (given without "=") is its value, whatever it looks like.
std::optional<std::string> unknown_option(const std::vector<std::string>& arguments,
                                          const std::vector<std::string>& known,
                                          const std::vector<std::string>& with_value);

// The nearest of `known` to `typed` (its "=value" left off), or "" when
// none is near enough to be meant.
std::string nearest_option(const std::string& typed, const std::vector<std::string>& known);

}  // namespace flash
