// flash-card: writes an .xz image to a removable card through windows_helper,
// one helper process per step, as the desktop app does.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

#include "flash_flow.h"
#include "flash_main.h"
#include "host_os.h"
#include "platform/unicode.h"

namespace flash {
namespace {

std::string default_helper() {
  const std::string self = own_executable_path();
  const auto slash = self.find_last_of("/\\");
  if (slash == std::string::npos) return helper_file_name();
  return self.substr(0, slash + 1) + helper_file_name();
}

// "pi.img.xz" -> "pi.img.prepared": in `cache` when given, else next to the
// image; never the image.
std::string default_prepared_image(const std::string& image, const std::string& cache) {
  std::string base = image;
  if (base.size() > 3 && wh::ascii_lower(base.substr(base.size() - 3)) == ".xz") base.resize(base.size() - 3);
  if (!cache.empty()) {
    const auto slash = base.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? base : base.substr(slash + 1);
    const char separator = cache.find('\\') != std::string::npos ? '\\' : '/';
    base = cache + (cache.back() == '/' || cache.back() == '\\' ? "" : std::string(1, separator)) + name;
  }
  return base + ".prepared";
}

wh::Result<std::vector<CardFile>, std::string> card_files(const std::vector<std::string>& arguments) {
  std::vector<CardFile> files;
  for (const std::string& argument : arguments) {
    const auto equals = argument.find('=');
    if (equals == 0 || equals == std::string::npos || equals + 1 == argument.size()) {
      return wh::Err("--file wants CARD-PATH=HOST-FILE, not " + argument);
    }
    files.push_back(CardFile{argument.substr(0, equals), argument.substr(equals + 1)});
  }
  return files;
}

}  // namespace

int flash_main(std::vector<std::string> arguments) {
  const ConsoleSession console;
  const InterruptionWatch watch;
  CLI::App app("Writes a Raspberry Pi OS image (.xz, .gz, .bz2, .zst, .zip or raw) to a removable card through\n"
               "windows_helper, one helper process per step, and checks that the card will boot.",
               "flash-card");
  app.set_version_flag("--version", std::string("flash-card ") + WINDOWS_HELPER_VERSION);
  FlashOptions options;
  std::string cache;
  std::vector<std::string> file_arguments;
  app.add_option("image", options.image, "The image to write: .xz, .gz, .bz2, .zst, .zip or a raw image");
  app.add_option("--disk", options.disks,
                 "A card: its number or device path from the list; repeat it to flash several cards at once "
                 "(without it: list the disks)")
      ->allow_extra_args(false);
  app.add_flag("-y,--yes", options.yes, "Erase the card without asking");
  app.add_flag("--json", options.json, "Print the helper's JSON lines unchanged instead of the display");
  app.add_option("--helper", options.helper, "The windows_helper executable (default: next to flash-card)");
  app.add_flag("--prepared", options.prepared,
               "Decompress the .xz image into a file first, then write that file (default: decode it straight "
               "onto the card)");
  app.add_option("--prepared-image", options.prepared_image,
                 "Where the decompressed image goes (default: the image's path without .xz, plus .prepared); "
                 "implies --prepared");
  app.add_option("--cache", cache, "The folder for the decompressed image (made when missing); implies --prepared")
      ->type_name("DIR");
  app.add_flag("--keep-image", options.keep_image,
               "Keep the decompressed image after a successful flash; implies --prepared");
  app.add_flag("--full", options.full,
               "Write every byte of the image, its file systems' free space too (default: skip the free space, "
               "which keeps the card's old contents there); for dm-verity images, or a card whose old contents "
               "must go");
  app.add_flag("--dry-run", options.dry_run, "Run every check, then stop before the card is touched");
  // One value per --file, so that the image after it is never taken for one.
  app.add_option("--file", file_arguments, "A first-boot file for the boot partition, repeatable")
      ->type_name("CARD-PATH=HOST-FILE")
      ->allow_extra_args(false);
  app.add_option("--cmdline-append", options.cmdline_append, "Text to add to the card's cmdline.txt")
      ->type_name("TEXT");
  app.add_option("--transcript", options.transcript, "Write every request and every helper line to FILE")
      ->type_name("FILE");

  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  if (!reversed.empty()) reversed.pop_back();  // the program name
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? kExitSuccess : kExitUsage;  // --help is no error
  }
  auto files = card_files(file_arguments);
  if (!files) {
    std::cerr << "flash-card: " << files.error() << '\n';
    return kExitUsage;
  }
  options.files = std::move(files).value();
  if (!options.disks.empty() && options.image.empty()) {
    std::cerr << "flash-card: an image to write is needed with --disk\n";
    return kExitUsage;
  }
  if (!cache.empty() && !options.prepared_image.empty()) {
    std::cerr << "flash-card: --cache and --prepared-image name the same thing; give one\n";
    return kExitUsage;
  }
  if (!cache.empty() && !options.disks.empty() && !options.dry_run) {
    std::error_code made;
    std::filesystem::create_directories(utf8_path(cache), made);
    if (made) {
      std::cerr << "flash-card: cannot make the cache folder " << cache << ": " << made.message() << '\n';
      return kExitFailure;
    }
  }
  if (options.helper.empty()) options.helper = default_helper();
  // Anything said about the prepared image asks for one.
  options.prepared = options.prepared || options.keep_image || !cache.empty() || !options.prepared_image.empty();
  if (options.prepared_image.empty()) options.prepared_image = default_prepared_image(options.image, cache);

  std::ofstream transcript;
  if (!options.transcript.empty()) {
    transcript.open(utf8_path(options.transcript), std::ios::binary | std::ios::trunc);
    if (!transcript) {
      std::cerr << "flash-card: cannot write the transcript " << options.transcript << '\n';
      return kExitFailure;
    }
  }
  std::ostream nowhere(nullptr);
  HelperSession session(options.helper, make_session_id(), transcript.is_open() ? &transcript : nullptr,
                        options.json ? &std::cout : nullptr);
  std::ostream& display = options.json ? nowhere : std::cout;
  ProgressView view(display, !options.json && is_terminal(Stream::kOutput));
  const FlowStreams streams{display,
                            std::cerr,
                            options.json ? std::cerr : std::cout,
                            !options.json,
                            transcript.is_open() ? &transcript : nullptr,
                            options.json ? &std::cout : nullptr};
  return run_flash(options, session, view, streams);
}

}  // namespace flash
