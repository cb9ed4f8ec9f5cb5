// The kernel command line in the boot partition's cmdline.txt: one line of
// tokens separated by white space, to which customization adds its own.
#pragma once

#include <string>
#include <string_view>

namespace wh {

// True for the tokens an earlier customization added: every "systemd.run…"
// token and "systemd.unit=kernel-command-line.target".
bool is_replaced_cmdline_token(std::string_view token);

// The kept tokens of `existing` (valid UTF-8, split at runs of Unicode
// White_Space, line breaks included) on one line, a space when any were
// kept, then `addition` trimmed of white space with each line break in it
// made a space, then one line feed: always a single line. Dropping
// the replaced tokens first keeps a repeated customization from piling up.
std::string merge_cmdline(std::string_view existing, std::string_view addition);

}  // namespace wh
