// Small pieces every Win32 source file needs: wide strings, error values and
// an owned HANDLE.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/os_error.h"

namespace wh::win32 {

// UTF-8 to the NUL-terminated wide form the W functions take, and back.
std::wstring to_wide(std::string_view text);
std::string from_wide(std::wstring_view text);

// A path for a W function. One holding U+0000 is refused with
// ERROR_INVALID_NAME: the function would end the name there and reach
// another file.
Result<std::wstring, OsError> to_wide_path(std::string_view path);

// The error for `code`, with FormatMessageW's text for it.
OsError os_error(DWORD code);
// The error of the call that just failed (GetLastError).
OsError last_error();

// Owns one kernel handle; closes it once.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE release() {
    HANDLE h = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return h;
  }
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (valid()) ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace wh::win32
