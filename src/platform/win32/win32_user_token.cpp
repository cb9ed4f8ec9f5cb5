#include "platform/win32/win32_user_token.h"

#include <aclapi.h>

#include <cstdlib>
#include <vector>

#include "platform/win32/win32_handle.h"

namespace wh::win32 {
namespace {

// GetTokenInformation into a buffer of the size it asks for.
OsResult<std::vector<std::uint8_t>> token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  ::GetTokenInformation(token, kind, /*TokenInformation=*/nullptr, 0, &size);
  if (size == 0) return Err(last_error());
  std::vector<std::uint8_t> buffer(size);
  if (!::GetTokenInformation(token, kind, buffer.data(), size, &size)) return Err(last_error());
  return buffer;
}

template <typename T>
const T& as(const std::vector<std::uint8_t>& buffer) {
  return *reinterpret_cast<const T*>(buffer.data());
}

// The linked (filtered) token when this process runs with the elevated half
// of a split token; an invalid handle otherwise.
OsResult<UniqueHandle> linked_token() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return Err(last_error());
  UniqueHandle process(raw);
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  if (!::GetTokenInformation(process.get(), TokenElevationType, &type, sizeof type, &size)) return Err(last_error());
  if (type != TokenElevationTypeFull) return UniqueHandle();
  TOKEN_LINKED_TOKEN linked{};
  if (!::GetTokenInformation(process.get(), TokenLinkedToken, &linked, sizeof linked, &size)) return Err(last_error());
  return UniqueHandle(linked.LinkedToken);
}

bool enabled_in(const TOKEN_GROUPS& groups, PSID sid) {
  for (DWORD i = 0; i < groups.GroupCount; ++i) {
    if (::EqualSid(groups.Groups[i].Sid, sid)) return (groups.Groups[i].Attributes & SE_GROUP_ENABLED) != 0;
  }
  return false;
}

// The restricted copy of this process's token that matches `linked`.
OsResult<UniqueHandle> user_copy(HANDLE linked) {
  // The restricted token gets this handle's access: enough to change its
  // defaults and to impersonate it.
  HANDLE raw = nullptr;
  constexpr DWORD kAccess = TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT |
                            TOKEN_IMPERSONATE;
  if (!::OpenProcessToken(::GetCurrentProcess(), kAccess, &raw)) return Err(last_error());
  UniqueHandle own(raw);
  auto own_groups = token_information(own.get(), TokenGroups);
  if (!own_groups) return Err(own_groups.error());
  auto linked_groups = token_information(linked, TokenGroups);
  if (!linked_groups) return Err(linked_groups.error());
  const TOKEN_GROUPS& mine = as<TOKEN_GROUPS>(*own_groups);
  std::vector<SID_AND_ATTRIBUTES> deny_only;
  for (DWORD i = 0; i < mine.GroupCount; ++i) {
    const SID_AND_ATTRIBUTES& group = mine.Groups[i];
    if ((group.Attributes & SE_GROUP_INTEGRITY) || !(group.Attributes & SE_GROUP_ENABLED)) continue;
    if (!enabled_in(as<TOKEN_GROUPS>(*linked_groups), group.Sid)) deny_only.push_back({group.Sid, 0});
  }
  HANDLE restricted = nullptr;
  if (!::CreateRestrictedToken(own.get(), DISABLE_MAX_PRIVILEGE, static_cast<DWORD>(deny_only.size()),
                               deny_only.empty() ? nullptr : deny_only.data(), /*DeletePrivilegeCount=*/0,
                               /*PrivilegesToDelete=*/nullptr, /*RestrictedSidCount=*/0,
                               /*SidsToRestrict=*/nullptr, &restricted)) {
    return Err(last_error());
  }
  UniqueHandle copy(restricted);
  for (const TOKEN_INFORMATION_CLASS kind : {TokenIntegrityLevel, TokenOwner, TokenDefaultDacl}) {
    auto value = token_information(linked, kind);
    if (!value) return Err(value.error());
    // Only what differs is set: Wine, whose linked token matches the full
    // one, cannot set an owner at all (ERROR_INVALID_FUNCTION).
    if (kind == TokenOwner) {
      auto current = token_information(copy.get(), kind);
      if (!current) return Err(current.error());
      if (::EqualSid(as<TOKEN_OWNER>(*current).Owner, as<TOKEN_OWNER>(*value).Owner)) continue;
    }
    if (!::SetTokenInformation(copy.get(), kind, value->data(), static_cast<DWORD>(value->size()))) {
      return Err(last_error());
    }
  }
  return copy;
}

}  // namespace

OsResult<UserImpersonation> UserImpersonation::begin() {
  auto linked = linked_token();
  if (!linked) return Err(linked.error());
  if (!linked->valid()) return UserImpersonation(false);
  auto copy = user_copy(linked->get());
  if (!copy) return Err(copy.error());
  if (!::ImpersonateLoggedOnUser(copy->get())) return Err(last_error());
  return UserImpersonation(true);
}

UserImpersonation::~UserImpersonation() {
  // A thread left impersonating the user would open the target drive with
  // his rights; there is no safe way on.
  if (active_ && !::RevertToSelf()) std::abort();
}

OsResult<bool> linked_token_may_change(HANDLE file) {
  auto linked = linked_token();
  if (!linked) return Err(linked.error());
  if (!linked->valid()) return false;
  // AccessCheck takes an impersonation token; identification level will do.
  UniqueHandle token = std::move(*linked);
  auto type = token_information(token.get(), TokenType);
  if (!type) return Err(type.error());
  if (as<TOKEN_TYPE>(*type) == TokenPrimary) {
    HANDLE duplicate = nullptr;
    if (!::DuplicateToken(token.get(), SecurityIdentification, &duplicate)) return Err(last_error());
    token.reset(duplicate);
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD read = ::GetSecurityInfo(file, SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                       /*ppsidOwner=*/nullptr, /*ppsidGroup=*/nullptr, /*ppDacl=*/nullptr,
                                       /*ppSacl=*/nullptr, &descriptor);
  if (read != ERROR_SUCCESS) return Err(os_error(read));
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  union {
    PRIVILEGE_SET set;
    std::uint8_t room[256];
  } privileges{};
  DWORD privileges_size = sizeof privileges;
  DWORD granted = 0;
  BOOL allowed = FALSE;
  const BOOL checked = ::AccessCheck(descriptor, token.get(), MAXIMUM_ALLOWED, &mapping, &privileges.set,
                                     &privileges_size, &granted, &allowed);
  const DWORD error = checked ? ERROR_SUCCESS : ::GetLastError();
  ::LocalFree(descriptor);
  if (!checked) return Err(os_error(error));
  constexpr DWORD kChanges = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER;
  return allowed && (granted & kChanges) != 0;
}

OsResult<bool> Win32Handle::user_may_change() { return linked_token_may_change(handle_.get()); }

}  // namespace wh::win32
