#include "flash_flow.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "card_flash.h"
#include "course_steps.h"
#include "customize/boot_path.h"
#include "disk_choice.h"
#include "host_os.h"
#include "plain_failure.h"
#include "platform/unicode.h"
#include "preflight_checks.h"
#include "several_cards.h"
#include "summary.h"

namespace flash {

using nlohmann::json;

namespace {

// The course every card shares: the checks before anything is erased, the
// choice of the cards, one extraction; then each card's own chain.
class FlashFlow : public CourseSteps {
 public:
  FlashFlow(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams)
      : CourseSteps(session, view, streams.errors, StepOptions{options.verbose, true}),
        options_(options),
        streams_(streams) {}

  int run();

 private:
  int course();
  // The image measured (and, streamed, checked whole); nullopt after a failure.
  std::optional<json> measure(bool streamed);
  std::optional<json> customization_payload();
  bool preflight(const json& disk);
  int flash_one(const json& disk);
  void remove_prepared_image();

  const FlashOptions& options_;
  const FlowStreams& streams_;
  std::vector<json> disks_;  // the chosen cards, in the order asked for
  FlashRecord common_;       // what every card's record starts from
  std::optional<json> customization_;
  bool cards_started_ = false;
};

std::optional<json> FlashFlow::customization_payload() {
  json files = json::array();
  for (const CardFile& file : options_.files) {
    std::ifstream in(utf8_path(file.host_path), std::ios::binary);
    std::ostringstream contents;
    if (in) contents << in.rdbuf();  // an empty file leaves `contents` failed, and empty
    if (!in || in.bad()) {
      fail("cannot read " + file.host_path + " for " + file.card_path + "; nothing was written", kExitUsage);
      return std::nullopt;
    }
    // The helper writes a file's contents as the UTF-8 of a JSON string.
    if (!wh::is_valid_utf8(contents.str())) {
      fail(file.host_path + " is not UTF-8 text; first-boot files are written as text; nothing was written",
           kExitUsage);
      return std::nullopt;
    }
    files.push_back({{"path", file.card_path}, {"contents", contents.str()}});
  }
  json payload{{"files", files}};
  if (!options_.cmdline_append.empty()) payload["cmdlineAppend"] = options_.cmdline_append;
  if (const std::string refusal = request_refusal(payload, session_.session_id()); !refusal.empty()) {
    fail(refusal, kExitUsage);
    return std::nullopt;
  }
  return payload;
}

// Everything that can be known of a card before it is touched: the image fits it.
bool FlashFlow::preflight(const json& disk) {
  const std::uint64_t card = count(disk, "sizeBytes");
  if (common_.image_bytes > card) {
    fail("the image is " + format_bytes(common_.image_bytes) + " (" + std::to_string(common_.image_bytes) +
             " bytes) and " + describe_disk(disk) + " holds " + std::to_string(card) +
             " bytes: use a larger card; nothing was written",
         kExitUsage);
    return false;
  }
  return true;
}

void FlashFlow::remove_prepared_image() {
  if (options_.keep_image) return;
  std::error_code removed;
  std::filesystem::remove(utf8_path(options_.prepared_image), removed);
  if (removed) view_.note("Could not remove the prepared image " + options_.prepared_image + ": " + removed.message());
}

int FlashFlow::run() {
  const int status = course();
  if (status == kExitSuccess || cards_started_) return status;
  // Stopped before any card was touched.
  if (interrupted()) {
    streams_.errors << "Stopped: nothing was written to the card.\n" << std::flush;
    return kExitInterrupted;
  }
  return status;
}

std::optional<json> FlashFlow::measure(bool streamed) {
  json measuring = {{"imagePath", options_.image}};
  if (streamed) measuring["anyFormat"] = true;
  // Streamed and sparse, the measure also maps what the write will skip.
  if (streamed && !options_.full) measuring["sparse"] = true;
  return call("image_uncompressed_size", measuring);
}

int FlashFlow::course() {
  // The first-boot files are read and their places checked before anything
  // is written, so that a bad one cannot leave a flashed card without them.
  const bool flashing = !options_.disks.empty();
  for (const CardFile& file : options_.files) {
    if (!wh::is_boot_file_path(file.card_path)) {
      return fail("--file " + file.card_path + "=" + file.host_path + ": " + file.card_path +
                      " is not a path on the card's boot partition (no drive, no \"..\", no empty or "
                      "control-character part)",
                  kExitUsage);
    }
  }
  if (flashing) {
    if (const std::string refusal = image_path_refusal(options_.image); !refusal.empty()) {
      return fail(refusal, kExitUsage);
    }
  }
  if (flashing && (!options_.files.empty() || !options_.cmdline_append.empty())) {
    if (!(customization_ = customization_payload())) return kExitUsage;
  }

  const auto elevated = greet();
  if (!elevated) return kExitFailure;
  if (!flashing && !*elevated) return refuse_unelevated("listing the disks");

  // The image is checked before the user is asked to give up a card for it.
  // A streamed image is decoded whole once here, which checks it and
  // measures it; a prepared one is measured once a card is chosen.
  const bool streamed = !options_.prepared;
  // The image's own refusals (missing, damaged, no disk image) are the
  // input's fault.
  const auto image_failure = [&] { return refuses_the_image(refusal_code()) ? kExitUsage : kExitFailure; };
  std::optional<json> measured;
  if (flashing && streamed) {
    if (!(measured = measure(streamed))) return image_failure();
    if (const std::string refusal = image_refusal(options_, *measured); !refusal.empty()) {
      return fail(refusal, kExitUsage);
    }
  } else if (flashing && !call("image_validate_xz", {{"imagePath", options_.image}})) {
    return image_failure();
  }
  if (flashing && !*elevated) return refuse_unelevated("raw access to disks");

  const auto disks = candidates();
  if (!disks) return kExitFailure;
  if (!flashing) {
    print_candidates(streams_.display, *disks);
    streams_.display << std::flush;
    return kExitSuccess;
  }
  if (const int chosen = choose(*disks, options_.disks, streams_.display, disks_); chosen != kExitSuccess) {
    return chosen;
  }
  common_.image = options_.image;
  common_.sparse = !options_.full;
  if (!streamed) {
    common_.prepared_image = options_.prepared_image;
    if (!(measured = measure(streamed))) return image_failure();
    if (const std::string refusal = image_refusal(options_, *measured); !refusal.empty()) {
      return fail(refusal, kExitUsage);
    }
  }
  common_.image_bytes = count(*measured, "uncompressedBytes");
  // Streamed, the digest of the image as checked: every card must get it.
  if (streamed) common_.image_sha256 = text(*measured, "sha256");
  if (streamed && common_.sparse) common_.write_map = measured->value("writeMap", json::object());
  view_.note("Image " + options_.image + (streamed ? ": valid, " : ": valid XZ, ") +
             format_bytes(common_.image_bytes) + (streamed ? " decoded, written as it is decoded" : " uncompressed"));
  if (const std::uint64_t verified = bytes_read_back(common_); verified < common_.image_bytes) {
    view_.note("Its file systems leave " + format_bytes(common_.image_bytes - verified) +
               " free: that space is not written and keeps the card's old contents (--full writes it)");
  }
  for (const json& disk : disks_) {
    if (!preflight(disk)) return kExitUsage;
  }
  if (streamed) {
    view_.plan({{"WRITE", common_.image_bytes}, {"VERIFY", bytes_read_back(common_)}});
  } else {
    view_.plan({{"PREPARE", common_.image_bytes}, {"WRITE", common_.image_bytes}, {"VERIFY", common_.image_bytes}});
  }
  if (options_.dry_run) {
    for (const json& disk : disks_) {
      view_.note("Dry run: every check passed for " + describe_disk(disk) + "; nothing was written.");
    }
    return kExitSuccess;
  }
  if (!options_.yes) {
    for (const json& disk : disks_) {
      if (auto consent = confirm_erase(disk, streams_.prompt); !consent) {
        return fail(consent.error().reason, consent.error().status);
      }
    }
  }

  if (!streamed) {
    const auto extracted = call("image_extract_xz", {{"imagePath", options_.image},
                                                     {"outputPath", options_.prepared_image},
                                                     {"uncompressedBytes", common_.image_bytes}});
    if (!extracted) return image_failure();
    common_.image_sha256 = text(*extracted, "sha256");
  }
  if (interrupted()) return kExitFailure;

  cards_started_ = true;
  const int status = disks_.size() == 1
                         ? flash_one(disks_.front())
                         : flash_at_once(options_, disks_, common_, customization_, session_.helper_path(), streams_);
  if (status == kExitSuccess && !streamed) remove_prepared_image();
  return status;
}

int FlashFlow::flash_one(const json& disk) {
  FlashRecord record = common_;
  record.target = describe_disk(disk);
  CardFlash card(options_, session_, view_, streams_.errors, disk, std::move(record), customization_,
                 StepOptions{options_.verbose, true});
  const int status = card.run();
  const bool reported = card.record().boot_report.is_object() && !card.record().boot_report.empty();
  if (streams_.show_summary && (status == kExitSuccess || reported)) {
    print_summary(streams_.display, card.record(), view_);
    if (status == kExitSuccess) streams_.display << '\n';
  }
  if (interrupted() && status != kExitSuccess) return kExitInterrupted;
  // A failure was told as it happened.
  if (streams_.show_summary && status == kExitSuccess) streams_.display << card.verdict(status) << '\n' << std::flush;
  return status;
}

}  // namespace

int run_flash(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams) {
  return FlashFlow(options, session, view, streams).run();
}

}  // namespace flash
