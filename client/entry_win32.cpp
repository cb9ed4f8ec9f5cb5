// The wide entry point: arguments reach flash-card as Unicode, whatever the
// ANSI code page, and go on as UTF-8. Critical-error dialogs are off first.
#include <windows.h>

#include <string>
#include <vector>

#include "flash_main.h"
#include "platform/unicode.h"

int wmain(int argc, wchar_t** argv) {
  // A card pulled, or an image on a stick that went away, is an error to
  // report, never a "No disk" box the flash waits on.
  ::SetErrorMode(SEM_FAILCRITICALERRORS);
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    const std::wstring_view wide(argv[i]);
    arguments.push_back(wh::utf16_to_utf8(std::u16string(wide.begin(), wide.end())));
  }
  return flash::flash_main(std::move(arguments));
}
