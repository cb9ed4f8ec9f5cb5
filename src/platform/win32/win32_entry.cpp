// main's view of the real Windows.
#include "platform/win32/win32_support.h"  // windows.h, which shellapi.h needs first

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "platform/entry.h"
#include "platform/win32/win32_platform.h"

namespace wh {

Result<std::unique_ptr<Platform>, std::string> make_platform() {
  return std::unique_ptr<Platform>(std::make_unique<win32::Win32Platform>());
}

std::vector<std::string> command_line_arguments(int, char**) {
  // The ANSI argv loses every character outside the code page; the wide
  // command line has them all.
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(win32::from_wide(wide[i]));
  ::LocalFree(wide);
  return arguments;
}

void prepare_process() {
  // A drive without its medium would otherwise stop the thread on a
  // critical-error box that nobody sees in an elevated helper.
  ::SetErrorMode(SEM_FAILCRITICALERRORS);
  // Text mode would turn each line feed into a carriage return and line feed.
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace wh
