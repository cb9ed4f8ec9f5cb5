// Which first-boot file paths may go on a card's boot partition: the one
// rule the helper enforces when it writes them and flash-card checks before
// anything is erased.
#pragma once

#include <string_view>

namespace wh {

// A path relative to the volume's root, "/" or "\" between its pieces: not
// empty, no drive or stream colon, no empty, "." or ".." piece, and no
// control character (Windows would end the name at a NUL and write another
// file).
bool is_boot_file_path(std::string_view relative);

}  // namespace wh
