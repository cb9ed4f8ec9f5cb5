#include "flash_flow.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "customize/boot_path.h"
#include "disk_choice.h"
#include "host_os.h"
#include "platform/unicode.h"
#include "summary.h"

namespace flash {

using nlohmann::json;

namespace {

// What a helper's refusal means for the person at the keyboard; "" when its
// own message says it well enough. The helper's code and words follow it,
// for support.
std::string explain(const std::string& code, const std::string& message) {
  const auto says = [&](const char* text) { return message.find(text) != std::string::npos; };
  if (code == "ELEVATION_DENIED") return "Windows refused raw access to the card: run flash-card from an administrator console";
  if (says("(os error 32)") || code == "UNMOUNT_FAILED") {
    return "the card is busy: another program (File Explorer, an antivirus, another flasher) holds it; close it and try again";
  }
  if (code == "DEVICE_DISCONNECTED" || says("changed after preparation") || says("(os error 1167)")) {
    return "the card was removed or swapped for another; put the chosen card back and start again";
  }
  if (code == "XZ_INVALID") return "the image is damaged (a broken or unfinished download); download it again";
  if (says("(os error 112)")) return "there is no space left for the prepared image; free some or use --cache on another drive";
  if (says("does not fit the target disk")) return "the image is larger than the card";
  return "";
}

class FlashFlow {
 public:
  FlashFlow(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams)
      : options_(options), session_(session), view_(view), streams_(streams) {}

  int run();

 private:
  // How far the card has come, for what is said of it when the flash stops.
  enum class CardState { kUntouched, kPrepared, kWriting, kWritten };

  int course();
  int flash_card(const std::optional<json>& customization);
  bool preflight();
  // After a failure once the card was prepared: the card online again, and
  // one line on what it holds.
  void leave_card_safe();
  // One helper process. nullopt after a failure, which has been reported.
  std::optional<json> call(const std::string& command, const json& payload);
  int fail(const std::string& reason);
  json target(json more = json::object()) const;
  bool judge_readback();
  std::optional<json> customization_payload();

  const FlashOptions& options_;
  HelperSession& session_;
  ProgressView& view_;
  const FlowStreams& streams_;
  json disk_;
  FlashRecord record_;
  bool failed_ = false;
  bool cleaning_up_ = false;  // finalize_disk runs even after an interruption
  std::string reason_;        // why the flash failed
  CardState state_ = CardState::kUntouched;
};

std::optional<json> FlashFlow::call(const std::string& command, const json& payload) {
  if (failed_) return std::nullopt;
  if (interrupted() && !cleaning_up_) {
    failed_ = true;
    return std::nullopt;
  }
  auto reply = session_.call(command, payload, [this](const json& event) { view_.on_event(event); });
  view_.finish(reply && reply->ok);
  // A helper stopped by the interruption fails; that is no news to tell.
  if (interrupted() && !cleaning_up_) {
    failed_ = true;
    return std::nullopt;
  }
  if (!reply) {
    fail(reply.error());
    return std::nullopt;
  }
  if (!reply->ok) {
    const std::string explained = explain(reply->error_code, reply->error_message);
    const std::string helper_said = reply->error_code + ": " + reply->error_message;
    fail(command + " failed: " + (explained.empty() ? helper_said : explained + " (" + helper_said + ")"));
    return std::nullopt;
  }
  return reply->payload;
}

int FlashFlow::fail(const std::string& reason) {
  failed_ = true;
  reason_ = reason;
  streams_.errors << "flash-card: " << reason << '\n' << std::flush;
  return kExitFailure;
}

json FlashFlow::target(json more) const {
  more.update(target_members(disk_));
  return more;
}

// After a write whose readback differed: Windows' mount rewriting FAT
// metadata is harmless and the flash goes on; anything else stops it.
bool FlashFlow::judge_readback() {
  const json& write = record_.write;
  // What was written must be what was extracted: a prepared image changed
  // since (by another program, a second flash to the same path, a failing
  // disk) reads back "as written" and proves nothing about the download.
  if (text(write, "sourceSha256") != record_.image_sha256) {
    fail("the prepared image " + record_.prepared_image + " changed after it was extracted (its digest was " +
         record_.image_sha256 + ", the bytes written have " + text(write, "sourceSha256") +
         "): the card does not hold the image");
    return false;
  }
  if (text(write, "observedSha256") == record_.image_sha256 && count(write, "verifiedBytes") == record_.image_bytes) {
    return true;
  }
  const auto judged = call("classify_mismatch", target({{"imagePath", record_.prepared_image},
                                                        {"bytesTotal", record_.image_bytes}}));
  if (!judged) return false;
  if (judged->value("safe", false)) {
    record_.mismatch_class = *judged;
    view_.note("The readback differs only where Windows rewrites FAT metadata when it mounts the card's boot "
               "partition (" + text(*judged, "message") + "): Windows' mount side effect, not damage. Going on.");
    return true;
  }
  std::uint64_t offset = count(*judged, "firstUnsafeOffset");
  if (!judged->contains("firstUnsafeOffset")) offset = count(write.value("mismatch", json::object()), "offset");
  fail("the card does not hold the image: it differs at byte offset " + std::to_string(offset) + ". " +
       text(*judged, "message"));
  return false;
}

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
  return payload;
}

// Everything that can be known before the card is touched: the image fits
// it, the first-boot files can go where they are asked to.
bool FlashFlow::preflight() {
  const std::uint64_t card = count(disk_, "sizeBytes");
  if (record_.image_bytes > card) {
    fail("the image is " + format_bytes(record_.image_bytes) + " (" + std::to_string(record_.image_bytes) +
         " bytes) and " + record_.target + " holds " + std::to_string(card) + " bytes; nothing was written");
    return false;
  }
  return true;
}

void FlashFlow::leave_card_safe() {
  const char* lead = interrupted() ? "Stopped: " : "Card state: ";
  if (state_ == CardState::kUntouched) {
    if (interrupted()) streams_.errors << lead << "nothing was written to the card.\n" << std::flush;
    return;
  }
  // Brings the card back online whatever stopped the flash; its own failure
  // is reported but changes nothing of what is said below.
  failed_ = false;
  cleaning_up_ = true;
  const auto finalized = call("finalize_disk", target());
  failed_ = true;
  const char* what = state_ == CardState::kPrepared
                         ? "the card was not written; it is as it was"
                         : state_ == CardState::kWriting
                               ? "the card was only partly written and will not boot; flash it again or reformat it"
                               : "the card was written but is not proven to hold the image; flash it again";
  streams_.errors << lead << what << (finalized ? "" : " (and it may still be offline)") << ".\n" << std::flush;
}

int FlashFlow::run() {
  const int status = course();
  // A flash that got to its end before the interruption is not undone.
  if (status == kExitSuccess) return status;
  leave_card_safe();
  if (interrupted()) return kExitInterrupted;
  if (streams_.show_summary && !reason_.empty()) streams_.display << "FAILED: " << reason_ << '\n' << std::flush;
  return status;
}

int FlashFlow::course() {
  // The first-boot files are read and their places checked before anything
  // is written, so that a bad one cannot leave a flashed card without them.
  std::optional<json> customization;
  const bool customize = options_.disk && (!options_.files.empty() || !options_.cmdline_append.empty());
  for (const CardFile& file : options_.files) {
    if (!wh::is_boot_file_path(file.card_path)) {
      return fail("--file " + file.card_path + "=" + file.host_path + ": " + file.card_path +
                  " is not a path on the card's boot partition (no drive, no \"..\", no empty or control-character "
                  "part)");
    }
  }
  if (customize && !(customization = customization_payload())) return kExitFailure;

  const auto health = call("health", json::object());
  if (!health) return kExitFailure;
  const bool elevated = health->value("isElevated", false);
  view_.note("Helper " + text(*health, "helperVersion") + " on " + text(*health, "platform") +
             (elevated ? ", running as administrator" : ", NOT running as administrator"));

  // The image is checked before the user is asked to give up a card for it.
  if (options_.disk && !call("image_validate_xz", {{"imagePath", options_.image}})) return kExitFailure;
  if (options_.disk && !elevated) {
    return fail("the helper is not running as administrator, and Windows gives raw disk access to administrators "
                "only: run flash-card from an administrator console; nothing was written");
  }

  const auto listed = call("list_disks", json::object());
  if (!listed) return kExitFailure;
  const json disks = listed->value("disks", json::array());
  if (!options_.disk) {
    print_candidates(streams_.display, disks);
    streams_.display << std::flush;
    return kExitSuccess;
  }
  auto chosen = select_disk(disks, *options_.disk);
  if (!chosen) {
    print_candidates(streams_.display, disks);
    return fail(chosen.error());
  }
  disk_ = *chosen;
  record_.target = describe_disk(disk_);
  record_.image = options_.image;
  record_.prepared_image = options_.prepared_image;

  const auto size = call("image_uncompressed_size", {{"imagePath", options_.image}});
  if (!size) return kExitFailure;
  record_.image_bytes = count(*size, "uncompressedBytes");
  view_.note("Image " + options_.image + ": valid XZ, " + format_bytes(record_.image_bytes) + " uncompressed");
  if (!preflight()) return kExitFailure;
  view_.plan({{"PREPARE", record_.image_bytes}, {"WRITE", record_.image_bytes}, {"VERIFY", record_.image_bytes}});
  if (options_.dry_run) {
    view_.note("Dry run: every check passed for " + record_.target + "; nothing was written.");
    return kExitSuccess;
  }
  if (!options_.yes) {
    if (auto consent = confirm_erase(disk_, streams_.prompt); !consent) return fail(consent.error());
  }

  if (const int status = flash_card(customization); status != kExitSuccess) return status;
  if (!options_.keep_image) {
    std::error_code removed;
    std::filesystem::remove(utf8_path(options_.prepared_image), removed);
    if (removed) view_.note("Could not remove the prepared image " + options_.prepared_image + ": " + removed.message());
  }
  if (streams_.show_summary) {
    print_summary(streams_.display, record_, view_);
    streams_.display << "\nCard ready: " << record_.target
                     << " holds the image and passed the boot check; safe to remove.\n" << std::flush;
  }
  return kExitSuccess;
}

int FlashFlow::flash_card(const std::optional<json>& customization) {
  const auto extracted = call("image_extract_xz", {{"imagePath", options_.image},
                                                   {"outputPath", options_.prepared_image},
                                                   {"uncompressedBytes", record_.image_bytes}});
  if (!extracted) return kExitFailure;
  record_.image_sha256 = text(*extracted, "sha256");

  // From here on a failure brings the card back online (leave_card_safe).
  state_ = CardState::kPrepared;
  if (!call("prepare_disk", target())) return kExitFailure;
  view_.note("Prepared " + record_.target + ": its volumes dismounted, no drive letters");
  state_ = CardState::kWriting;
  const auto written = call("write_image", target({{"imagePath", options_.prepared_image},
                                                   {"taskId", "write-" + session_.session_id()},
                                                   {"bytesTotal", record_.image_bytes}}));
  if (!written) return kExitFailure;
  state_ = CardState::kWritten;
  record_.write = *written;
  if (!judge_readback()) return kExitFailure;

  const bool settled_by_class = record_.mismatch_class.has_value();
  if (settled_by_class) view_.note("The boot check skips its checksum row: the classification above settled the byte-for-byte result.");
  const auto boot = call("verify_boot", target({{"expectedSha256", record_.image_sha256},
                                                {"observedSha256", text(*written, "observedSha256")},
                                                {"verifiedBytes", count(*written, "verifiedBytes")},
                                                {"imageBytes", record_.image_bytes},
                                                {"skipChecksum", settled_by_class},
                                                {"model", text(disk_, "model")}}));
  if (!boot) return kExitFailure;
  record_.boot_report = boot->value("report", json::object());
  if (!record_.boot_report.value("success", false)) {
    if (streams_.show_summary) print_summary(streams_.display, record_, view_);
    return fail("the card is not ready to boot (boot report: " + text(record_.boot_report, "outcome") + ")");
  }

  if (customization) {
    const auto customized = call("apply_customization", target(*customization));
    if (!customized) return kExitFailure;
    record_.boot_volume = text(*customized, "volumeGuidPath");
    for (const json& file : customized->value("files", json::array())) {
      if (file.is_string()) record_.card_files.push_back(file.get<std::string>());
    }
  }

  const auto detached = call("detach_target", target());
  if (!detached) return kExitFailure;
  for (const json& warning : detached->value("warnings", json::array())) {
    if (warning.is_string()) record_.warnings.push_back(warning.get<std::string>());
  }
  return kExitSuccess;
}

}  // namespace

int run_flash(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams) {
  return FlashFlow(options, session, view, streams).run();
}

}  // namespace flash
