#include "platform/os_error.h"

namespace wh {

std::string OsError::text() const {
  // FormatMessageW ends its texts in "\r\n"; only ASCII white space occurs there.
  std::string trimmed = message;
  while (!trimmed.empty()) {
    char c = trimmed.back();
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\v' && c != '\f') break;
    trimmed.pop_back();
  }
  return trimmed + " (os error " + std::to_string(code) + ")";
}

}  // namespace wh
