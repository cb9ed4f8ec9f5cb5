// What the command line asks flash-card to do.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace flash {

// A first-boot file: where it goes on the card's boot partition, and the
// host file whose contents it gets.
struct CardFile {
  std::string card_path;
  std::string host_path;
};

struct FlashOptions {
  std::string image;                // the image: .xz, .gz, .bz2, .zst or raw
  bool prepared = false;            // decompress into a prepared image first, then write that
  bool full = false;                // write every byte, free file-system space too (no sparse write)
  std::vector<std::string> disks;  // each "N" or a device path; none: list the disks
  bool yes = false;                 // erase without asking
  bool json = false;                // the helper's lines instead of the display
  std::string helper;               // the windows_helper executable
  std::string prepared_image;       // where the decompressed image goes (with `prepared`)
  bool keep_image = false;          // keep the prepared image after a successful flash
  bool dry_run = false;             // every check, then stop before the card is touched
  std::vector<CardFile> files;
  std::string cmdline_append;
  std::string transcript;  // empty: none
  bool verbose = false;    // the helper's command, code and words after a failure
  bool reformat = false;   // return the --disk cards to one exFAT volume instead of flashing
};

// Exit statuses.
inline constexpr int kExitSuccess = 0;   // the card is ready (or the disks were listed, or a dry run passed)
inline constexpr int kExitFailure = 1;   // the flash failed
// The command line or what it names was wrong (an unknown option, a disk
// that is no candidate, an image that is missing, a folder or no disk
// image): nothing was touched.
inline constexpr int kExitUsage = 2;
inline constexpr int kExitDeclined = 3;  // the user said no at the prompt
inline constexpr int kExitInterrupted = 130;

}  // namespace flash
