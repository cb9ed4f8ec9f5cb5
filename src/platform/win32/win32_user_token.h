// The rights of the user who started the helper. UAC gives an administrator
// two tokens: the elevated one the helper runs with, and the filtered one his
// other programs run with, linked to each other (TokenLinkedToken). The
// files a request names are opened with the filtered token's rights, and a
// request file is refused unless that token could not have written it.
//
// TokenLinkedToken hands a process without SeTcbPrivilege an
// identification-level token: good for AccessCheck, but no file can be opened
// while impersonating it (ERROR_BAD_IMPERSONATION_LEVEL). The opens
// therefore impersonate a restricted copy of the helper's own token that
// matches it: every group that is not enabled in the linked token made
// deny-only, every privilege but traversal removed, and the linked token's
// integrity level, owner and default DACL, so that a file the helper
// creates belongs to the user as if his own program had made it.
#pragma once

#include "platform/win32/win32_support.h"

namespace wh::win32 {

// Impersonates the user for as long as it lives (RevertToSelf at the end).
// Does nothing when the process token is not the elevated half of a split
// token: then it is the user's own token already (not elevated), or UAC is
// off for this user (the built-in Administrator, or UAC disabled), and every
// program of his runs with the same token as the helper.
class UserImpersonation {
 public:
  static OsResult<UserImpersonation> begin();
  UserImpersonation(UserImpersonation&& other) noexcept : active_(other.active_) { other.active_ = false; }
  UserImpersonation& operator=(UserImpersonation&&) = delete;
  UserImpersonation(const UserImpersonation&) = delete;
  ~UserImpersonation();

 private:
  explicit UserImpersonation(bool active) : active_(active) {}
  bool active_;
};

// Whether the linked token is granted FILE_WRITE_DATA, FILE_APPEND_DATA,
// WRITE_DAC or WRITE_OWNER by the security descriptor of `file`, read
// through that handle (which needs READ_CONTROL). False when the process
// token is not split (above).
OsResult<bool> linked_token_may_change(HANDLE file);

}  // namespace wh::win32
