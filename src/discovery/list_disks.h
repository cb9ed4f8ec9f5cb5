// list_disks: the disks the application may offer as write targets. A native
// probe asks every physical drive's storage driver; when it cannot give a
// complete answer, PowerShell's Get-Disk listing is used instead.
#pragma once

#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "discovery/disk_info.h"
#include "frame/context.h"
#include "frame/errors.h"
#include "platform/platform.h"

namespace wh {

// Which disks Windows runs from; they are never opened by the probe.
inline constexpr const char* kProtectedDisksScript =
    "Get-Disk | Select-Object Number,IsSystem,IsBoot | ConvertTo-Json -Compress";

inline constexpr const char* kDiskListingScript =
    "$disks = Get-Disk | Select-Object Number,FriendlyName,SerialNumber,Size,IsReadOnly,BusType,IsSystem,IsBoot; "
    "$disks | ConvertTo-Json -Compress";

// Drives \\.\PhysicalDrive0 to \\.\PhysicalDrive127 are probed.
inline constexpr std::uint32_t kProbedDrives = 128;

// The removable, writable, sized, non-protected drives in ascending order;
// nullopt when the protected-disk query fails, when any drive's descriptor
// cannot be read, or when no drive was described at all. With
// `include_unavailable`, also those that cannot be written now, each with
// its reason: a drive another program holds alone ("busy"), a removable one
// that is write-protected, a removable reader without a card ("no-medium").
std::optional<std::vector<DiskInfo>> probe_disks(Platform& platform, bool include_unavailable = false);

// Get-Disk's listing, in its order. Fails when PowerShell does or its output
// is not JSON.
HelperResult<std::vector<DiskInfo>> list_disks_with_powershell(Platform& platform);

// {"disks": [...]}: the probe's list, or the PowerShell listing's. With
// `includeUnavailable` true, the probe's unavailable drives too, and every
// entry says whether it is `available`. With `includeVolumes` true, every
// entry has `volumes`, the volumes on it (disk_volumes.h), unless the volume
// enumeration failed.
HelperResult<nlohmann::json> handle_list_disks(CommandContext& context);

}  // namespace wh
