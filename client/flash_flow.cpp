#include "flash_flow.h"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>

#include "card_flash.h"
#include "customize/boot_path.h"
#include "disk_choice.h"
#include "host_os.h"
#include "platform/unicode.h"
#include "preflight_checks.h"
#include "prefixed_lines.h"
#include "summary.h"

namespace flash {

using nlohmann::json;

namespace {

// The course every card shares: the checks before anything is erased, the
// choice of the cards, one extraction; then each card's own chain.
class FlashFlow : public HelperSteps {
 public:
  FlashFlow(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams)
      : HelperSteps(session, view, streams.errors), options_(options), streams_(streams) {}

  int run();

 private:
  int course();
  std::optional<json> customization_payload();
  bool preflight(const json& disk);
  int flash_one(const json& disk);
  int flash_several();
  void remove_prepared_image();

  const FlashOptions& options_;
  const FlowStreams& streams_;
  std::vector<json> disks_;  // the chosen cards, in the order asked for
  FlashRecord common_;       // what every card's record starts from
  std::uint64_t verified_ = 0;  // the bytes each readback reads, as far as known before the write
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
      fail("cannot read " + file.host_path + " for " + file.card_path);
      return std::nullopt;
    }
    // The helper writes a file's contents as the UTF-8 of a JSON string.
    if (!wh::is_valid_utf8(contents.str())) {
      fail(file.host_path + " is not UTF-8 text; first-boot files are written as text");
      return std::nullopt;
    }
    files.push_back({{"path", file.card_path}, {"contents", contents.str()}});
  }
  json payload{{"files", files}};
  if (!options_.cmdline_append.empty()) payload["cmdlineAppend"] = options_.cmdline_append;
  if (const std::string refusal = request_refusal(payload, session_.session_id()); !refusal.empty()) {
    fail(refusal);
    return std::nullopt;
  }
  return payload;
}

// Everything that can be known of a card before it is touched: the image fits it.
bool FlashFlow::preflight(const json& disk) {
  const std::uint64_t card = count(disk, "sizeBytes");
  if (common_.image_bytes > card) {
    fail("the image is " + format_bytes(common_.image_bytes) + " (" + std::to_string(common_.image_bytes) +
         " bytes) and " + describe_disk(disk) + " holds " + std::to_string(card) + " bytes; nothing was written");
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
  if (streams_.show_summary && !reason().empty()) streams_.display << "FAILED: " << reason() << '\n' << std::flush;
  return status;
}

int FlashFlow::course() {
  // The first-boot files are read and their places checked before anything
  // is written, so that a bad one cannot leave a flashed card without them.
  const bool flashing = !options_.disks.empty();
  for (const CardFile& file : options_.files) {
    if (!wh::is_boot_file_path(file.card_path)) {
      return fail("--file " + file.card_path + "=" + file.host_path + ": " + file.card_path +
                  " is not a path on the card's boot partition (no drive, no \"..\", no empty or control-character "
                  "part)");
    }
  }
  if (flashing && (!options_.files.empty() || !options_.cmdline_append.empty())) {
    if (!(customization_ = customization_payload())) return kExitFailure;
  }

  const auto health = call("health", json::object());
  if (!health) return kExitFailure;
  const bool elevated = health->value("isElevated", false);
  view_.note("Helper " + text(*health, "helperVersion") + " on " + text(*health, "platform") +
             (elevated ? ", running as administrator" : ", NOT running as administrator"));

  // The image is checked before the user is asked to give up a card for it.
  // A streamed image is decoded whole once here, which checks it and
  // measures it; a prepared one is measured once a card is chosen.
  const bool streamed = !options_.prepared;
  std::optional<json> measured;
  if (flashing && streamed) {
    json measuring = {{"imagePath", options_.image}, {"anyFormat", true}};
    if (!options_.full) measuring["sparse"] = true;
    measured = call("image_uncompressed_size", measuring);
    if (!measured) return kExitFailure;
  } else if (flashing && !call("image_validate_xz", {{"imagePath", options_.image}})) {
    return kExitFailure;
  }
  if (flashing && !elevated) {
    return fail("the helper is not running as administrator, and Windows gives raw disk access to administrators "
                "only: run flash-card from an administrator console; nothing was written");
  }

  const auto listed = call("list_disks", json::object());
  if (!listed) return kExitFailure;
  const json disks = listed->value("disks", json::array());
  if (!flashing) {
    print_candidates(streams_.display, disks);
    streams_.display << std::flush;
    return kExitSuccess;
  }
  for (const std::string& wanted : options_.disks) {
    auto chosen = select_disk(disks, wanted);
    if (!chosen) {
      print_candidates(streams_.display, disks);
      return fail(chosen.error());
    }
    for (const json& earlier : disks_) {
      if (text(earlier, "osDevicePath") == text(*chosen, "osDevicePath")) {
        return fail("--disk " + wanted + " names " + describe_disk(*chosen) + " a second time");
      }
    }
    disks_.push_back(*chosen);
  }
  common_.image = options_.image;
  common_.sparse = !options_.full;
  if (!streamed) {
    common_.prepared_image = options_.prepared_image;
    measured = call("image_uncompressed_size", {{"imagePath", options_.image}});
    if (!measured) return kExitFailure;
  }
  if (const std::string refusal = image_refusal(options_, *measured); !refusal.empty()) return fail(refusal);
  common_.image_bytes = count(*measured, "uncompressedBytes");
  // Streamed, the digest of the image as checked: every card must get it.
  if (streamed) common_.image_sha256 = text(*measured, "sha256");
  if (streamed && common_.sparse) common_.write_map = measured->value("writeMap", json::object());
  // What is read back: a streamed sparse write's extents, known now; a
  // prepared image's map is made by the write itself.
  verified_ = common_.write_map.contains("bytesWritten") ? count(common_.write_map, "bytesWritten")
                                                          : common_.image_bytes;
  view_.note("Image " + options_.image + (streamed ? ": valid, " : ": valid XZ, ") +
             format_bytes(common_.image_bytes) + (streamed ? " decoded, written as it is decoded" : " uncompressed"));
  if (verified_ < common_.image_bytes) {
    view_.note("Its file systems leave " + format_bytes(common_.image_bytes - verified_) +
               " free: that space is not written and keeps the card's old contents (--full writes it)");
  }
  for (const json& disk : disks_) {
    if (!preflight(disk)) return kExitFailure;
  }
  if (streamed) {
    view_.plan({{"WRITE", common_.image_bytes}, {"VERIFY", verified_}});
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
      if (auto consent = confirm_erase(disk, streams_.prompt); !consent) return fail(consent.error());
    }
  }

  if (!streamed) {
    const auto extracted = call("image_extract_xz", {{"imagePath", options_.image},
                                                     {"outputPath", options_.prepared_image},
                                                     {"uncompressedBytes", common_.image_bytes}});
    if (!extracted) return kExitFailure;
    common_.image_sha256 = text(*extracted, "sha256");
  }
  if (interrupted()) return kExitFailure;

  cards_started_ = true;
  const int status = disks_.size() == 1 ? flash_one(disks_.front()) : flash_several();
  if (status == kExitSuccess && !streamed) remove_prepared_image();
  return status;
}

int FlashFlow::flash_one(const json& disk) {
  FlashRecord record = common_;
  record.target = describe_disk(disk);
  CardFlash card(options_, session_, view_, streams_.errors, disk, std::move(record), customization_);
  const int status = card.run();
  const bool reported = card.record().boot_report.is_object() && !card.record().boot_report.empty();
  if (streams_.show_summary && (status == kExitSuccess || reported)) {
    print_summary(streams_.display, card.record(), view_);
    if (status == kExitSuccess) streams_.display << '\n';
  }
  if (interrupted() && status != kExitSuccess) return kExitInterrupted;
  if (streams_.show_summary && !card.verdict(status).empty()) {
    streams_.display << card.verdict(status) << '\n' << std::flush;
  }
  return status;
}

// Each card through its own chain of helper processes, all at once: each
// with its own session, identity proofs and lines, so that one card failing
// never stops or touches another.
int FlashFlow::flash_several() {
  struct Lane {
    std::string name;
    std::ostringstream transcript;
    std::unique_ptr<PrefixedStream> display, errors, passthrough;
    std::unique_ptr<HelperSession> session;
    std::unique_ptr<ProgressView> view;
    std::unique_ptr<CardFlash> card;
    int status = kExitFailure;
  };
  std::mutex display_lock, error_lock;
  std::vector<std::unique_ptr<Lane>> lanes;
  for (const json& disk : disks_) {
    auto lane = std::make_unique<Lane>();
    lane->name = printable(text(disk, "osDevicePath"));
    const std::string prefix = "[" + lane->name + "] ";
    lane->display = std::make_unique<PrefixedStream>(streams_.display, display_lock, prefix);
    lane->errors = std::make_unique<PrefixedStream>(streams_.errors, error_lock, prefix);
    if (streams_.passthrough != nullptr) {
      lane->passthrough = std::make_unique<PrefixedStream>(*streams_.passthrough, display_lock, "");
    }
    lane->session = std::make_unique<HelperSession>(session_.helper_path(), make_session_id(),
                                                    streams_.transcript ? &lane->transcript : nullptr,
                                                    lane->passthrough.get());
    // Plain lines: several cards cannot share one line redrawn in place.
    lane->view = std::make_unique<ProgressView>(*lane->display, /*live=*/false);
    lane->view->plan({{"WRITE", common_.image_bytes}, {"VERIFY", verified_}});
    FlashRecord record = common_;
    record.target = describe_disk(disk);
    lane->card = std::make_unique<CardFlash>(options_, *lane->session, *lane->view, *lane->errors, disk,
                                             std::move(record), customization_);
    lanes.push_back(std::move(lane));
  }
  {
    std::vector<std::jthread> running;
    for (auto& lane : lanes) running.emplace_back([&lane] { lane->status = lane->card->run(); });
  }
  if (streams_.transcript != nullptr) {
    for (const auto& lane : lanes) *streams_.transcript << lane->transcript.str();
    *streams_.transcript << std::flush;
  }
  int status = kExitSuccess;
  if (streams_.show_summary) streams_.display << "\nSummary\n";
  for (const auto& lane : lanes) {
    if (lane->status != kExitSuccess) status = kExitFailure;
    if (!streams_.show_summary) continue;
    // A ready card's verdict names it; a failure's reason may not.
    const std::string verdict = lane->card->verdict(lane->status);
    if (lane->status == kExitSuccess) {
      streams_.display << "  " << verdict << '\n';
    } else {
      streams_.display << "  " << lane->name << "  " << (verdict.empty() ? "Stopped" : verdict) << '\n';
    }
  }
  streams_.display << std::flush;
  if (interrupted() && status != kExitSuccess) return kExitInterrupted;
  return status;
}

}  // namespace

int run_flash(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams) {
  return FlashFlow(options, session, view, streams).run();
}

}  // namespace flash
