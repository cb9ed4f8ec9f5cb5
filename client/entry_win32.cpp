// The wide entry point: arguments reach flash-card as Unicode, whatever the
// ANSI code page, and go on as UTF-8.
#include <string>
#include <vector>

#include "flash_main.h"
#include "platform/unicode.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    const std::wstring_view wide(argv[i]);
    arguments.push_back(wh::utf16_to_utf8(std::u16string(wide.begin(), wide.end())));
  }
  return flash::flash_main(std::move(arguments));
}
