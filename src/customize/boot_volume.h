// Finding the card's boot partition for customization: PowerShell brings the
// offline disk online, gives partition 1 a drive letter if it has none, and
// names its volume; the helper then addresses that volume only by its GUID
// path, never by the letter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "frame/errors.h"
#include "platform/platform.h"
#include "target/target_identity.h"

namespace wh {

// The boot-volume script: the identity fragment for "customization", the
// disk online and writable, partition 1 with a letter, and its volume's
// record printed as one line of JSON.
std::string build_locate_script(const TargetIdentity& identity);

// The volume GUID path from the script's output, which must name partition 1
// of disk `drive_number` (DEVICE_NOT_REMOVABLE otherwise).
HelperResult<std::string> parse_boot_volume_record(const std::string& output, std::uint32_t drive_number);

// Runs the script; a failing script is returned as the runner reports it.
HelperResult<std::string> locate_boot_volume(Platform& platform, const TargetIdentity& identity);

}  // namespace wh
