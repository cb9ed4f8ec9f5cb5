// The failure value of every handler and lower operation, and the ten error
// codes the helper can report.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/os_error.h"
#include "platform/result.h"

namespace wh {

enum class ErrorCode {
  kUnknown,
  kToolMissing,
  kImageMissing,
  kXzInvalid,
  kDeviceNotRemovable,
  kDeviceDisconnected,
  kElevationDenied,
  kUnmountFailed,
  kWriteFailed,
  kReadFailed,
};

// "UNKNOWN", "TOOL_MISSING", ...: the text written as `errorCode`.
std::string_view error_code_name(ErrorCode code);

struct HelperError {
  ErrorCode code = ErrorCode::kUnknown;
  std::string message;
};

inline Err<HelperError> fail(ErrorCode code, std::string message) {
  return Err(HelperError{code, std::move(message)});
}

// An OS failure reported under `code`, with the system's text as the message.
inline Err<HelperError> fail(ErrorCode code, const OsError& error) {
  return fail(code, error.text());
}

template <typename T>
using HelperResult = Result<T, HelperError>;
using HelperStatus = Result<void, HelperError>;

}  // namespace wh
