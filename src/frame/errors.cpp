#include "frame/errors.h"

#include <cstdlib>

namespace wh {

std::string_view error_code_name(ErrorCode code) {
  switch (code) {
    case ErrorCode::kUnknown: return "UNKNOWN";
    case ErrorCode::kToolMissing: return "TOOL_MISSING";
    case ErrorCode::kImageMissing: return "IMAGE_MISSING";
    case ErrorCode::kXzInvalid: return "XZ_INVALID";
    case ErrorCode::kDeviceNotRemovable: return "DEVICE_NOT_REMOVABLE";
    case ErrorCode::kDeviceDisconnected: return "DEVICE_DISCONNECTED";
    case ErrorCode::kElevationDenied: return "ELEVATION_DENIED";
    case ErrorCode::kUnmountFailed: return "UNMOUNT_FAILED";
    case ErrorCode::kWriteFailed: return "WRITE_FAILED";
    case ErrorCode::kReadFailed: return "READ_FAILED";
  }
  std::abort();  // not a code of ours: a broken invariant
}

HelperError nothing_written(HelperError error) {
  std::string& message = error.message;
  if (error.code == ErrorCode::kElevationDenied || message.ends_with("was not started.") ||
      message.ends_with("othing was written.")) {
    return error;
  }
  message += message.ends_with('.') ? " Nothing was written." : "; nothing was written.";
  return error;
}

}  // namespace wh
