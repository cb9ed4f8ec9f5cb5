// flash-card --help: what it does, three examples, every option and the
// exit statuses, in lines of at most 80 columns. The README's flash-card
// section shows the same text.
#pragma once

#include <string_view>

namespace flash {

std::string_view usage_text();

}  // namespace flash
