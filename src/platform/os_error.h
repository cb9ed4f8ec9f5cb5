// Operating-system failures as Windows reports them: a Win32 error code and
// the system's message text for it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace wh {

// Win32 codes that the logic tests by value.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kWsaEaccess = 10013;

struct OsError {
  std::uint32_t code = 0;
  // The system's message for `code`, as the system wrote it (it may end in
  // white space and a line break; `text()` removes that).
  std::string message;
  // A read or write that was cut short by a signal rather than failing; the
  // caller repeats it. Only the simulated Windows produces this.
  bool interrupted = false;

  // "<message without trailing white space> (os error <code>)".
  std::string text() const;
};

template <typename T>
using OsResult = Result<T, OsError>;
using OsStatus = Result<void, OsError>;

}  // namespace wh
