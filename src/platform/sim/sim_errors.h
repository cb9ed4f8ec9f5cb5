// The simulated Windows speaks Win32: every failure is a Win32 code with the
// text Windows' FormatMessageW gives for it, host errno values included.
#pragma once

#include <cstdint>

#include "platform/os_error.h"

namespace wh::sim {

// Codes the simulation raises itself.
inline constexpr std::uint32_t kErrorInvalidFunction = 1;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorNotSameDevice = 17;
inline constexpr std::uint32_t kErrorWriteProtect = 19;
inline constexpr std::uint32_t kErrorNotReady = 21;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorSectorNotFound = 27;
inline constexpr std::uint32_t kErrorUnrecognizedVolume = 1005;
inline constexpr std::uint32_t kErrorMediaChanged = 1110;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

// The error for `code`, with the system text Windows has for it ("\r\n"
// included, as FormatMessageW writes it).
OsError win32_error(std::uint32_t code);

// The nearest Win32 error for a host errno. EINTR becomes an interrupted
// error that the caller repeats.
OsError from_errno(int error_number);

}  // namespace wh::sim
