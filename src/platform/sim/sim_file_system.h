// What a volume's boot sector says its file system is, as Windows reports it
// through GetVolumeInformationByHandleW, and mtools run over a partition of a
// simulated drive: the stand-ins for fastfat reading and writing the card.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"
#include "platform/sim/sim_machine.h"

namespace wh::sim {

struct FileSystemName {
  std::string name;  // "FAT32", "FAT", "exFAT", "NTFS" or "RAW"
  std::uint32_t serial_number = 0;
  // A FAT boot sector's BS_VolLab (at 71, or 43 for FAT) without its
  // padding, "" for "NO NAME"; mkfs.fat writes the root directory's label
  // entry, which Windows shows, with the same text. Other file systems keep
  // their label elsewhere: "".
  std::string label;
};

// Reads the boot sector at byte `offset` of `drive`: OEM name "EXFAT   " is
// exFAT (serial at byte 100), "NTFS    " NTFS (serial at 72); a FAT BPB with
// the 55 AA signature is FAT32 when its 16-bit FAT size is 0 (volume id at
// 67), else FAT (volume id at 39); anything else is RAW.
FileSystemName identify_file_system(const SimDrive& drive, std::uint64_t offset);

// The file systems whose files the simulation keeps in a volume's directory.
inline bool is_fat(const std::string& file_system) { return file_system == "FAT32" || file_system == "FAT"; }

// mtools' name for the partition at `offset` of the drive: "<file>@@<offset>".
std::string mtools_image(const SimDrive& drive, std::uint64_t offset);

// Runs the mtools program `arguments[0]` (looked up in PATH) with the rest as
// its arguments, without a shell, MTOOLS_SKIP_CHECK=1 and no mtoolsrc; its
// standard output is dropped. A failure (not started, signalled, non-zero
// exit) is a text with the program's standard error.
Result<void, std::string> run_mtools(const std::vector<std::string>& arguments);

}  // namespace wh::sim
