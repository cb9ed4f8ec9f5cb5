// Choosing the card: the candidates list_disks gave, the one the user named,
// the identity every later disk command carries, and the user's consent to
// erase it.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/result.h"

namespace flash {

// The disk of `disks` (list_disks' array) that `wanted` names: a drive
// number ("2"), a device path or id ("\\.\PhysicalDrive2",
// "PhysicalDrive2"; letter case ignored), or a drive letter ("E:") of a
// volume on it. Refused, with why, when it names no candidate, a volume
// that spans disks, or a disk that cannot be written now.
wh::Result<nlohmann::json, std::string> select_disk(const nlohmann::json& disks, const std::string& wanted);

// "2" for PhysicalDrive2; "?" when the id names none.
std::string disk_number(const nlohmann::json& disk);

// "\\.\PhysicalDrive2  48.0 MiB  Generic STORAGE DEVICE (usb-drive, serial 123)".
// The texts come from the device, so none of their bytes reaches the
// terminal as a control: see printable.
std::string describe_disk(const nlohmann::json& disk);

// `text` with every control character (C0, DEL and, in UTF-8, C1) and every
// byte of invalid UTF-8 written as \xNN, so that a device's texts cannot
// move the cursor or rewrite what is on the screen.
std::string printable(std::string_view text);

void print_candidates(std::ostream& out, const nlohmann::json& disks);

// The payload members that name the target: osDevicePath, and the expected
// identity built from the listed disk (drive path, size, serial).
nlohmann::json target_members(const nlohmann::json& disk);

struct Refusal {
  std::string reason;
  int status = 0;  // the exit status it ends flash-card with
};

// Asks "Erase E: HOLIDAY (FAT32, 12.0 MiB used) on disk 1 (…)?" (or
// "Erase everything on disk 1 (…)?" of a disk without volumes), with
// `then` after the disk ("and make it one exFAT volume"), on `prompt`, and
// reads the answer from standard input. Without a terminal to ask on it
// refuses at once (a command-line mistake: --yes is missing); any answer
// but yes is the user's no.
wh::Result<void, Refusal> confirm_erase(const nlohmann::json& disk, std::ostream& prompt,
                                        const std::string& then = "");

}  // namespace flash
