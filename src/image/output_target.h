// Where an extraction may write. The helper runs elevated, so an output path
// that reached a drive or volume would write raw onto a disk past every
// target check, and one that named the source would truncate the image being
// read. Both are refused before anything is opened for writing.
#pragma once

#include <string>
#include <string_view>

#include "frame/errors.h"
#include "platform/platform.h"

namespace wh {

// True when `path` goes through a device namespace ("\\.\", "\\?\", "\??\")
// to anything but a file path on a drive letter or a network share: drives
// ("\\.\PhysicalDrive1"), volumes ("\\?\Volume{...}", "\\.\C:"), GLOBALROOT,
// pipes. Forward slashes count as backslashes, as Windows reads them.
bool names_device(std::string_view path);

// IMAGE_MISSING when an image to be read names a device or volume: read
// elevated, it would copy a disk (the system disk, or the target itself).
HelperStatus check_image_source(std::string_view image_path);

// XZ_INVALID unless `output_path` is a regular file other than `source` or
// does not exist yet.
HelperStatus check_output_target(Platform& platform, const std::string& output_path,
                                 Handle& source);

// The same rules once more on the output as it was opened (without following
// a link as its last component, Platform::open_output_as_user), before a byte
// is written: a link or a junction put in place after the first check
// cannot lead the write elsewhere. Its final path must not name a device or
// volume, it must be a regular file, and not `source`. Then it is made empty.
HelperStatus check_opened_output(Handle& output, const std::string& output_path, Handle& source);

}  // namespace wh
