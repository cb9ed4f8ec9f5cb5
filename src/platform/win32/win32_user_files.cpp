// The opens of the files a request names, with the rights of the user who
// started the helper (win32_user_token.h), and the request's own way in:
// standard input.
#include "platform/win32/win32_handle.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_user_token.h"

namespace wh::win32 {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct UserOpen {
  UniqueHandle handle;
  DWORD last_error = ERROR_SUCCESS;  // of the CreateFileW, taken before the impersonation ends
};

// CreateFileW on the user's behalf.
OsResult<UserOpen> create_as_user(const std::string& path, DWORD access, DWORD disposition, DWORD flags) {
  auto wide = to_wide_path(path);
  if (!wide) return Err(wide.error());
  auto user = UserImpersonation::begin();
  if (!user) return Err(user.error());
  UserOpen opened;
  opened.handle = UniqueHandle(::CreateFileW(wide->c_str(), access, kShareAll, /*lpSecurityAttributes=*/nullptr,
                                             disposition, flags, /*hTemplateFile=*/nullptr));
  opened.last_error = ::GetLastError();
  return opened;
}

}  // namespace

OsResult<HandlePtr> Win32Platform::open_file_read_as_user(const std::string& path) {
  auto opened = create_as_user(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (!opened) return Err(opened.error());
  if (!opened->handle.valid()) return Err(os_error(opened->last_error));
  return HandlePtr(std::make_unique<Win32Handle>(std::move(opened->handle)));
}

OsResult<OpenedForWriting> Win32Platform::open_output_as_user(const std::string& path) {
  auto opened = create_as_user(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  if (!opened) return Err(opened.error());
  if (!opened->handle.valid()) return Err(os_error(opened->last_error));
  // OPEN_ALWAYS succeeds either way and tells which through the last error.
  const bool existed = opened->last_error == ERROR_ALREADY_EXISTS;
  return OpenedForWriting{std::make_unique<Win32Handle>(std::move(opened->handle)), existed};
}

OsResult<HandlePtr> Win32Platform::standard_input() {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return Err(os_error(ERROR_INVALID_HANDLE));
  // A handle of our own, so that closing it leaves the process's standard
  // input as it was.
  HANDLE own = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), input, ::GetCurrentProcess(), &own, /*dwDesiredAccess=*/0,
                         /*bInheritHandle=*/FALSE, DUPLICATE_SAME_ACCESS)) {
    return Err(last_error());
  }
  return HandlePtr(std::make_unique<Win32Handle>(UniqueHandle(own)));
}

}  // namespace wh::win32
