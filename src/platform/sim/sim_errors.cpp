#include "platform/sim/sim_errors.h"

#include <cerrno>

namespace wh::sim {
namespace {

struct KnownError {
  std::uint32_t code;
  const char* text;
};

// The English texts of the Windows message table for the codes the helper can
// meet on files, drives, volumes and process starts.
constexpr KnownError kKnownErrors[] = {
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {15, "The system cannot find the drive specified."},
    {17, "The system cannot move the file to a different disk drive."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {23, "Data error (cyclic redundancy check)."},
    {25, "The drive cannot locate a specific area or track on the disk."},
    {27, "The drive cannot find the sector requested."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of "
         "the file."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {55, "The specified network resource or device is no longer available."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {267, "The directory name is invalid."},
    {995, "The I/O operation has been aborted because of either a thread exit or an "
          "application request."},
    {1005, "The volume does not contain a recognized file system.\r\nPlease make sure that all required file "
           "system drivers are loaded and that the volume is not corrupted."},
    {1110, "The media in the drive may have changed."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1167, "The device is not connected."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access "
            "permissions."},
};

}  // namespace

OsError win32_error(std::uint32_t code) {
  for (const KnownError& known : kKnownErrors) {
    if (known.code == code) return {code, std::string(known.text) + "\r\n"};
  }
  // FormatMessageW has no text for it either.
  return {code, "Unknown error"};
}

OsError from_errno(int error_number) {
  switch (error_number) {
    case EINTR: {
      OsError error = win32_error(kErrorOperationAborted);
      error.interrupted = true;
      return error;
    }
    case ENOENT: return win32_error(2);
    case ENOTDIR: return win32_error(3);
    case EMFILE: case ENFILE: return win32_error(4);
    case EACCES: case EPERM: case EISDIR: return win32_error(5);
    case EBADF: return win32_error(6);
    case ENOMEM: return win32_error(8);
    case EROFS: return win32_error(19);
    case EBUSY: case ETXTBSY: return win32_error(32);
    case EEXIST: return win32_error(80);
    case EINVAL: case ESPIPE: return win32_error(87);
    case ENOSPC: case EFBIG: return win32_error(112);
    case ENAMETOOLONG: return win32_error(206);
    case EIO: return win32_error(1117);
    case EXDEV: return win32_error(17);
    case ENXIO: case ENODEV: return win32_error(1167);
    default: return win32_error(31);
  }
}

}  // namespace wh::sim
