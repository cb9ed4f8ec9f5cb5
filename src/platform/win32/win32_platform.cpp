#include "platform/win32/win32_platform.h"

#include <algorithm>
#include <array>

#include "platform/win32/win32_handle.h"

namespace wh::win32 {
namespace {

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// CreateFileW with the arguments every open here has in common.
OsResult<HandlePtr> open_handle(const std::string& path, DWORD access, DWORD share,
                                DWORD disposition, DWORD flags) {
  auto wide = to_wide_path(path);
  if (!wide) return Err(wide.error());
  UniqueHandle handle(::CreateFileW(wide->c_str(), access, share,
                                    /*lpSecurityAttributes=*/nullptr, disposition, flags,
                                    /*hTemplateFile=*/nullptr));
  if (!handle.valid()) return Err(last_error());
  return HandlePtr(std::make_unique<Win32Handle>(std::move(handle)));
}

}  // namespace

OsResult<HandlePtr> Win32Platform::open_drive_for_query(const std::string& path) {
  return open_handle(path, GENERIC_READ, kShareReadWrite, OPEN_EXISTING, /*flags=*/0);
}

OsResult<HandlePtr> Win32Platform::open_drive_exclusive_read(const std::string& path) {
  return open_handle(path, GENERIC_READ, /*share=*/0, OPEN_EXISTING, /*flags=*/0);
}

OsResult<HandlePtr> Win32Platform::open_drive_exclusive_write(const std::string& path) {
  return open_handle(path, GENERIC_READ | GENERIC_WRITE, /*share=*/0, OPEN_EXISTING,
                     FILE_FLAG_WRITE_THROUGH);
}

OsResult<HandlePtr> Win32Platform::open_volume(const std::string& name, VolumeAccess access) {
  const DWORD rights = access == VolumeAccess::kReadWrite ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  return open_handle(name, rights, kShareReadWrite, OPEN_EXISTING, /*flags=*/0);
}

OsResult<std::vector<std::string>> Win32Platform::list_volumes() {
  constexpr DWORD kUnits = 1024;
  std::array<wchar_t, kUnits> buffer{};
  std::vector<std::string> names;
  // Closes the search on every path.
  struct Search {
    HANDLE handle;
    ~Search() {
      if (handle != INVALID_HANDLE_VALUE) ::FindVolumeClose(handle);
    }
  } search{::FindFirstVolumeW(buffer.data(), kUnits)};
  if (search.handle == INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_NO_MORE_FILES) return names;
    return Err(last_error());
  }
  do {
    // The name ends at the first NUL, or at the end of a buffer filled to the brim.
    const std::wstring_view name(buffer.data(), ::wcsnlen(buffer.data(), kUnits));
    if (!name.empty()) names.push_back(from_wide(name));
    buffer.fill(L'\0');
  } while (::FindNextVolumeW(search.handle, buffer.data(), kUnits));
  // Only the end of the list ends the search; anything else would hide volumes.
  if (::GetLastError() != ERROR_NO_MORE_FILES) return Err(last_error());
  return names;
}

OsResult<std::vector<std::string>> Win32Platform::volume_path_names(const std::string& name) {
  auto wide = to_wide_path(name);
  if (!wide) return Err(wide.error());
  // A list of NUL-ended paths ended by one more NUL; a short buffer fails
  // with ERROR_MORE_DATA and the length it needs.
  std::wstring buffer(MAX_PATH + 1, L'\0');
  for (int attempt = 0;; ++attempt) {
    DWORD needed = 0;
    if (::GetVolumePathNamesForVolumeNameW(wide->c_str(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                           &needed)) {
      break;
    }
    const DWORD code = ::GetLastError();
    if (code != ERROR_MORE_DATA || attempt == 3 || needed <= buffer.size()) return Err(os_error(code));
    buffer.assign(needed, L'\0');
  }
  std::vector<std::string> paths;
  for (std::size_t at = 0; at < buffer.size() && buffer[at] != L'\0';) {
    const std::size_t end = buffer.find(L'\0', at);
    paths.push_back(from_wide(std::wstring_view(buffer).substr(at, end - at)));
    at = end + 1;
  }
  return paths;
}

OsResult<VolumeInformation> Win32Platform::volume_root_information(const std::string& root) {
  auto wide = to_wide_path(root);
  if (!wide) return Err(wide.error());
  // MAX_PATH + 1 is the documented size of both name buffers.
  std::array<wchar_t, MAX_PATH + 1> label{};
  std::array<wchar_t, MAX_PATH + 1> file_system{};
  DWORD serial = 0;
  if (!::GetVolumeInformationW(wide->c_str(), label.data(), static_cast<DWORD>(label.size()), &serial,
                               /*lpMaximumComponentLength=*/nullptr, /*lpFileSystemFlags=*/nullptr,
                               file_system.data(), static_cast<DWORD>(file_system.size()))) {
    return Err(last_error());
  }
  const auto text = [](const auto& buffer) {
    return from_wide(std::wstring_view(buffer.data(), ::wcsnlen(buffer.data(), buffer.size())));
  };
  return VolumeInformation{text(file_system), serial, text(label)};
}

OsResult<VolumeSpace> Win32Platform::volume_space(const std::string& root) {
  auto wide = to_wide_path(root);
  if (!wide) return Err(wide.error());
  ULARGE_INTEGER total{};
  ULARGE_INTEGER free_bytes{};
  if (!::GetDiskFreeSpaceExW(wide->c_str(), /*lpFreeBytesAvailableToCaller=*/nullptr, &total, &free_bytes)) {
    return Err(last_error());
  }
  return VolumeSpace{total.QuadPart, free_bytes.QuadPart};
}

OsResult<std::string> Win32Platform::windows_directory() {
  std::array<wchar_t, MAX_PATH + 1> buffer{};
  // Not GetWindowsDirectoryW: on a Remote Desktop Session Host it may give a
  // program a Windows folder of its user's own.
  const UINT length = ::GetSystemWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
  // 0 is a failure; a length of the buffer or more is the size it would need.
  if (length == 0) return Err(last_error());
  if (length >= buffer.size()) return Err(os_error(ERROR_INSUFFICIENT_BUFFER));
  return from_wide(std::wstring_view(buffer.data(), length));
}

OsResult<std::string> Win32Platform::volume_path_name(const std::string& path) {
  auto wide = to_wide_path(path);
  if (!wide) return Err(wide.error());
  // The mount point is never longer than the path it was found for.
  std::wstring buffer(std::max<std::size_t>(wide->size() + 2, MAX_PATH + 1), L'\0');
  if (!::GetVolumePathNameW(wide->c_str(), buffer.data(), static_cast<DWORD>(buffer.size()))) {
    return Err(last_error());
  }
  return from_wide(std::wstring_view(buffer.data(), ::wcsnlen(buffer.data(), buffer.size())));
}

OsResult<std::string> Win32Platform::volume_name_for_mount_point(const std::string& mount_point) {
  auto wide = to_wide_path(mount_point);
  if (!wide) return Err(wide.error());
  // 50 characters is the documented size for a volume GUID path.
  std::array<wchar_t, 50> buffer{};
  if (!::GetVolumeNameForVolumeMountPointW(wide->c_str(), buffer.data(), static_cast<DWORD>(buffer.size()))) {
    return Err(last_error());
  }
  return from_wide(std::wstring_view(buffer.data(), ::wcsnlen(buffer.data(), buffer.size())));
}

bool Win32Platform::file_exists(const std::string& path) {
  auto wide = to_wide_path(path);
  return wide && ::GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES;
}

OsResult<std::optional<FileStatus>> Win32Platform::file_status(const std::string& path) {
  auto wide = to_wide_path(path);
  if (!wide) return Err(wide.error());
  // Attribute access only: opening a drive this way neither reads nor locks it.
  UniqueHandle handle(::CreateFileW(wide->c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                    /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, /*hTemplateFile=*/nullptr));
  if (!handle.valid()) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      return std::optional<FileStatus>();
    }
    return Err(os_error(code));
  }
  auto status = describe_file(handle.get());
  if (!status) return Err(status.error());
  return std::optional<FileStatus>(*status);
}

OsResult<HandlePtr> Win32Platform::open_file_read(const std::string& path) {
  return open_handle(path, GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

OsResult<HandlePtr> Win32Platform::create_file_write(const std::string& path) {
  return open_handle(path, GENERIC_WRITE, kShareAll, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
}

OsResult<OpenedForWriting> Win32Platform::open_always_write(const std::string& path) {
  auto wide = to_wide_path(path);
  if (!wide) return Err(wide.error());
  UniqueHandle handle(::CreateFileW(wide->c_str(), GENERIC_WRITE, kShareAll,
                                    /*lpSecurityAttributes=*/nullptr, OPEN_ALWAYS,
                                    FILE_FLAG_WRITE_THROUGH, /*hTemplateFile=*/nullptr));
  // OPEN_ALWAYS succeeds either way and tells which through the last error.
  const DWORD last = ::GetLastError();
  if (!handle.valid()) return Err(os_error(last));
  return OpenedForWriting{std::make_unique<Win32Handle>(std::move(handle)),
                          last == ERROR_ALREADY_EXISTS};
}

OsStatus Win32Platform::replace_file(const std::string& from, const std::string& to) {
  auto wide_from = to_wide_path(from);
  if (!wide_from) return Err(wide_from.error());
  auto wide_to = to_wide_path(to);
  if (!wide_to) return Err(wide_to.error());
  if (!::MoveFileExW(wide_from->c_str(), wide_to->c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Err(last_error());
  }
  return {};
}

OsStatus Win32Platform::delete_file(const std::string& path) {
  auto wide = to_wide_path(path);
  if (!wide) return Err(wide.error());
  if (!::DeleteFileW(wide->c_str())) return Err(last_error());
  return {};
}

OsResult<HandlePtr> Win32Platform::open_file_read_locked(const std::string& path) {
  // Sharing read alone keeps writers and deleters out while it is open; a
  // link is opened itself. A named pipe opens at once or fails (busy), and
  // nothing is read before status() has told it apart from a file.
  return open_handle(path, GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
}

Instant Win32Platform::now() { return std::chrono::steady_clock::now().time_since_epoch(); }

void Win32Platform::sleep_ms(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

}  // namespace wh::win32
