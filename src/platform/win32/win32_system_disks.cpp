// Where the running Windows keeps what it needs: its program folder, the
// system partition it started from, and its page files. Read from the
// registry values Windows itself keeps; docs/windows.md cites them.
#include <array>
#include <optional>
#include <vector>

#include "platform/unicode.h"
#include "platform/win32/registry_values.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_support.h"

namespace wh::win32 {
namespace {

// The strings of a REG_SZ or REG_MULTI_SZ value under HKEY_LOCAL_MACHINE;
// nullopt when the value is not there.
OsResult<std::optional<std::vector<std::string>>> registry_strings(const wchar_t* key, const wchar_t* value) {
  constexpr DWORD kTypes = RRF_RT_REG_SZ | RRF_RT_REG_MULTI_SZ;
  std::vector<wchar_t> buffer;
  for (;;) {
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    const LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, key, value, kTypes, /*pdwType=*/nullptr,
                                          buffer.empty() ? nullptr : buffer.data(), &size);
    if (status == ERROR_FILE_NOT_FOUND) return std::optional<std::vector<std::string>>();
    if (status == ERROR_SUCCESS && !buffer.empty()) break;
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return Err(os_error(static_cast<DWORD>(status)));
    buffer.assign(size / sizeof(wchar_t) + 1, L'\0');
  }
  std::vector<std::string> strings;
  for (std::size_t at = 0; at < buffer.size() && buffer[at] != L'\0';) {
    const std::wstring_view text(buffer.data() + at, ::wcsnlen(buffer.data() + at, buffer.size() - at));
    strings.push_back(from_wide(text));
    at += text.size() + 1;
  }
  return std::optional<std::vector<std::string>>(std::move(strings));
}

// QueryDosDeviceW of a volume GUID path: the device behind it, such as
// "\Device\HarddiskVolume1".
OsResult<std::string> volume_device(const std::string& volume_name) {
  // "\\?\Volume{…}\" without its prefix and trailing backslash.
  const std::string inner = volume_name.substr(4, volume_name.size() - 5);
  std::array<wchar_t, MAX_PATH> buffer{};
  if (::QueryDosDeviceW(to_wide(inner).c_str(), buffer.data(), static_cast<DWORD>(buffer.size())) == 0) {
    return Err(last_error());
  }
  return from_wide(std::wstring_view(buffer.data(), ::wcsnlen(buffer.data(), buffer.size())));
}

}  // namespace

OsResult<std::string> Win32Platform::system_directory() {
  std::array<wchar_t, MAX_PATH + 1> buffer{};
  const UINT length = ::GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
  if (length == 0) return Err(last_error());
  if (length >= buffer.size()) return Err(os_error(ERROR_INSUFFICIENT_BUFFER));
  return from_wide(std::wstring_view(buffer.data(), length));
}

OsResult<std::optional<std::string>> Win32Platform::system_partition() {
  auto value = registry_strings(L"SYSTEM\\Setup", L"SystemPartition");
  if (!value) return Err(value.error());
  if (!*value || (*value)->empty()) return std::optional<std::string>();
  const std::string device = ascii_lower((*value)->front());
  auto volumes = list_volumes();
  if (!volumes) return Err(volumes.error());
  for (const std::string& name : *volumes) {
    if (name.size() < 6) continue;
    auto behind = volume_device(name);
    if (behind && ascii_lower(*behind) == device) return std::optional<std::string>(name);
  }
  return Err(os_error(ERROR_FILE_NOT_FOUND));
}

OsResult<std::vector<std::string>> Win32Platform::page_files() {
  constexpr const wchar_t* kMemoryManagement = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
  std::vector<std::string> entries;
  for (const wchar_t* value : {L"ExistingPageFiles", L"PagingFiles"}) {
    auto strings = registry_strings(kMemoryManagement, value);
    if (!strings) return Err(strings.error());
    if (*strings) entries.insert(entries.end(), (*strings)->begin(), (*strings)->end());
  }
  return page_file_paths(entries);
}

}  // namespace wh::win32
