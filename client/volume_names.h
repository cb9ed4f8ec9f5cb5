// A disk as its user knows it: by the volumes on it, the way Windows names
// them ("E: HOLIDAY (FAT32, 12.0 MiB used)"), and by the drive letter that
// --disk may give instead of a number; and a card that cannot be written
// now, by why not.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace flash {

// "E: HOLIDAY (FAT32, 12.0 MiB used)"; a volume without a letter is "a
// volume without a drive letter", one without a file system "(not
// formatted)". Device texts are made printable.
std::string describe_volume(const nlohmann::json& volume);

// The disk's volumes joined ("E: HOLIDAY (FAT32, 12.0 MiB used) and F: …"),
// or "" when it has none or the helper did not say.
std::string describe_volumes(const nlohmann::json& disk);

// "E" for "E:", "e:", "E:\" or "E"; nullopt for anything else.
std::optional<char> drive_letter(const std::string& wanted);

// Whether the disk holds a volume with drive letter `letter`; `spans` is
// set when that volume lies on other disks too.
bool holds_letter(const nlohmann::json& disk, char letter, bool& spans);

// Why the disk cannot be written now, with what to do about it ("write-
// protected: slide the card's lock switch"); "" when it can.
std::string unavailable_text(const nlohmann::json& disk);

}  // namespace flash
