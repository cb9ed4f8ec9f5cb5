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
#include "option_suggest.h"
#include "platform/unicode.h"
#include "reformat_flow.h"
#include "usage.h"

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


// The names every option of `app` answers to, with their dashes, and those
// of them that take a value.
void option_names(const CLI::App& app, std::vector<std::string>& known, std::vector<std::string>& with_value) {
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_positional() && option->get_lnames().empty() && option->get_snames().empty()) continue;
    std::vector<std::string> names;
    for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    for (const std::string& name : option->get_snames()) names.push_back("-" + name);
    known.insert(known.end(), names.begin(), names.end());
    if (option->get_type_size_min() > 0) with_value.insert(with_value.end(), names.begin(), names.end());
  }
}

int usage_error(const std::string& message) {
  std::cerr << "flash-card: " << message << " (flash-card --help shows every option)\n";
  return kExitUsage;
}

}  // namespace

int flash_main(std::vector<std::string> arguments) {
  const ConsoleSession console;
  const InterruptionWatch watch;
  CLI::App app("", "flash-card");
  app.set_help_flag();  // usage.cpp's own text instead
  app.set_version_flag("--version", std::string("flash-card ") + WINDOWS_HELPER_VERSION);
  FlashOptions options;
  std::string cache;
  std::vector<std::string> file_arguments;
  bool help = false;
  app.add_flag("-h,--help", help);
  app.add_option("image", options.image);
  app.add_option("--disk", options.disks)->allow_extra_args(false);
  app.add_flag("-y,--yes", options.yes);
  app.add_flag("--json", options.json);
  app.add_flag("--verbose", options.verbose);
  app.add_flag("--reformat", options.reformat);
  app.add_option("--helper", options.helper);
  app.add_flag("--prepared", options.prepared);
  app.add_option("--prepared-image", options.prepared_image);
  app.add_option("--cache", cache);
  app.add_flag("--keep-image", options.keep_image);
  app.add_flag("--full", options.full);
  app.add_flag("--dry-run", options.dry_run);
  // One value per --file, so that the image after it is never taken for one.
  app.add_option("--file", file_arguments)->allow_extra_args(false);
  app.add_option("--cmdline-append", options.cmdline_append);
  app.add_option("--transcript", options.transcript);

  std::vector<std::string> given(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end());
  std::vector<std::string> known, with_value;
  option_names(app, known, with_value);
  if (const auto typo = unknown_option(given, known, with_value)) {
    const std::string nearest = nearest_option(*typo, known);
    return usage_error("there is no option " + *typo + (nearest.empty() ? "" : "; did you mean " + nearest + "?"));
  }
  std::vector<std::string> reversed(given.rbegin(), given.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --version
    return usage_error(error.what());
  }
  if (help) {
    std::cout << usage_text() << std::flush;
    return kExitSuccess;
  }
  auto files = card_files(file_arguments);
  if (!files) return usage_error(files.error());
  options.files = std::move(files).value();
  if (options.reformat && options.disks.empty()) return usage_error("--reformat needs --disk: the card to reformat");
  if (options.reformat && !options.image.empty()) return usage_error("--reformat writes no image; leave out " + options.image);
  if (!options.reformat && !options.disks.empty() && options.image.empty()) {
    return usage_error("an image to write is needed with --disk");
  }
  if (!cache.empty() && !options.prepared_image.empty()) {
    return usage_error("--cache and --prepared-image name the same thing; give one");
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
  ProgressView view(display, !options.json && is_terminal(Stream::kOutput), [] { return output_columns(); });
  const FlowStreams streams{display,
                            std::cerr,
                            options.json ? std::cerr : std::cout,
                            !options.json,
                            transcript.is_open() ? &transcript : nullptr,
                            options.json ? &std::cout : nullptr};
  return options.reformat ? run_reformat(options, session, view, streams) : run_flash(options, session, view, streams);
}

}  // namespace flash
