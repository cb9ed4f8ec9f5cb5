#include "customize/boot_path.h"

#include "platform/unicode.h"

namespace wh {
namespace {

// Every piece between "/" and "\" names something below the root.
bool pieces_stay_inside(std::string_view relative) {
  std::size_t start = 0;
  while (true) {
    const std::size_t end = relative.find_first_of("/\\", start);
    const std::string_view piece = relative.substr(start, end == std::string_view::npos ? end : end - start);
    if (piece.empty() || piece == "." || piece == "..") return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

}  // namespace

bool is_boot_file_path(std::string_view relative) {
  return !relative.empty() && relative.find(':') == std::string_view::npos && !has_control_character(relative) &&
         pieces_stay_inside(relative);
}

}  // namespace wh
