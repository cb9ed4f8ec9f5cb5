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

// `error` of a step that failed before its command wrote anything, saying
// so: "; nothing was written." after the message (" Nothing was written."
// after one that ends a sentence), unless the message already says that or
// that the step "was not started". ELEVATION_DENIED keeps its fixed text.
HelperError nothing_written(HelperError error);

template <typename T>
using HelperResult = Result<T, HelperError>;
using HelperStatus = Result<void, HelperError>;

}  // namespace wh
