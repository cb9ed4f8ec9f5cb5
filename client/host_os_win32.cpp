#include <windows.h>

#include <string>

#include "host_os.h"
#include "platform/unicode.h"

namespace flash {

bool is_terminal(Stream stream) {
  const HANDLE handle = ::GetStdHandle(stream == Stream::kInput ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != FALSE;
}

std::string own_executable_path() {
  std::wstring path(MAX_PATH, L'\0');
  while (true) {
    const DWORD length = ::GetModuleFileNameW(/*hModule=*/nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return wh::utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(path.data()), path.size()));
    }
    path.resize(path.size() * 2);  // cut short: try a larger buffer
  }
}

std::string helper_file_name() { return "windows_helper.exe"; }

// The display writes UTF-8 (disk models, paths); the console shows it as such.
void prepare_console() { ::SetConsoleOutputCP(CP_UTF8); }

}  // namespace flash
