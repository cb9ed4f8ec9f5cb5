#include <string>

#include "platform/unicode.h"
#include "platform/win32/win32_support.h"

namespace wh::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");

std::wstring to_wide(std::string_view text) {
  const std::u16string wide = utf8_to_utf16(text);
  return std::wstring(wide.begin(), wide.end());
}

Result<std::wstring, OsError> to_wide_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return Err(os_error(ERROR_INVALID_NAME));
  return to_wide(path);
}

std::string from_wide(std::wstring_view text) {
  return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

OsError os_error(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      /*lpSource=*/nullptr, code, /*dwLanguageId=*/0, reinterpret_cast<LPWSTR>(&buffer),
      /*nSize=*/0, /*Arguments=*/nullptr);
  OsError error{static_cast<std::uint32_t>(code), "Unknown error"};
  if (length != 0 && buffer != nullptr) error.message = from_wide(std::wstring_view(buffer, length));
  if (buffer != nullptr) ::LocalFree(buffer);
  return error;
}

OsError last_error() { return os_error(::GetLastError()); }

}  // namespace wh::win32
