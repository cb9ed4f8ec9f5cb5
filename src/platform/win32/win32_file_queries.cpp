// What an open handle leads to: its kind (links opened themselves told
// apart), its final path, and, for a virtual disk, where its file lies.
#include "platform/win32/win32_handle.h"  // windows.h, which virtdisk.h needs first

#include <virtdisk.h>

#include <vector>

namespace wh::win32 {

OsResult<FileStatus> Win32Handle::status() {
  auto status = describe_file(handle_.get());
  if (!status || status->kind == FileKind::kOther) return status;
  // A symbolic link or junction opened with FILE_FLAG_OPEN_REPARSE_POINT is
  // the link itself. Other reparse points (cloud files, deduplicated files)
  // are files whose data a filter supplies, and stay files.
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(handle_.get(), FileAttributeTagInfo, &tag, sizeof tag)) return Err(last_error());
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(tag.ReparseTag)) {
    return FileStatus{};
  }
  return status;
}

OsResult<std::string> Win32Handle::final_path() {
  // A volume without a drive letter has no DOS name; its GUID name then.
  for (const DWORD volume_name : {VOLUME_NAME_DOS, VOLUME_NAME_GUID}) {
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length = 0;
    for (;;) {
      length = ::GetFinalPathNameByHandleW(handle_.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                           FILE_NAME_NORMALIZED | volume_name);
      // Too small a buffer answers the size needed, NUL included.
      if (length < buffer.size()) break;
      buffer.assign(length, L'\0');
    }
    if (length != 0) return from_wide(std::wstring_view(buffer.data(), length));
    if (::GetLastError() != ERROR_PATH_NOT_FOUND || volume_name == VOLUME_NAME_GUID) return Err(last_error());
  }
  return Err(os_error(ERROR_PATH_NOT_FOUND));
}

OsResult<std::vector<std::string>> Win32Handle::virtual_disk_hosts() {
  std::vector<std::uint8_t> buffer(4096);
  for (;;) {
    auto* info = reinterpret_cast<STORAGE_DEPENDENCY_INFO*>(buffer.data());
    info->Version = STORAGE_DEPENDENCY_INFO_VERSION_2;
    ULONG used = 0;
    const DWORD result = ::GetStorageDependencyInformation(
        handle_.get(), static_cast<GET_STORAGE_DEPENDENCY_FLAG>(GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES |
                                                                GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE),
        static_cast<ULONG>(buffer.size()), info, &used);
    if (result == ERROR_INSUFFICIENT_BUFFER && used > buffer.size()) {
      buffer.assign(used, 0);
      continue;
    }
    if (result != ERROR_SUCCESS) return Err(os_error(result));
    std::vector<std::string> hosts;
    for (ULONG i = 0; i < info->NumberEntries; ++i) {
      const STORAGE_DEPENDENCY_INFO_TYPE_2& entry = info->Version2Entries[i];
      if (entry.HostVolumeName != nullptr && *entry.HostVolumeName != L'\0') hosts.push_back(from_wide(entry.HostVolumeName));
    }
    return hosts;
  }
}

}  // namespace wh::win32
