#include "card_flash.h"

#include "disk_choice.h"
#include "host_os.h"

namespace flash {

using nlohmann::json;

json CardFlash::target(json more) const {
  more.update(target_members(disk_));
  return more;
}

int CardFlash::run() {
  const int status = chain();
  if (status != kExitSuccess) leave_card_safe();
  return status;
}

std::string CardFlash::verdict(int status) const {
  if (status == kExitSuccess) {
    return "Card ready: " + record_.target + " holds the image and passed the boot check; safe to remove.";
  }
  return reason().empty() ? "" : "FAILED: " + reason();
}

void CardFlash::leave_card_safe() {
  // Brings the card back online whatever stopped the flash; its own failure
  // is reported but changes nothing of what is said below.
  const bool finalized = clean_up("finalize_disk", target()).has_value();
  // A write refused before it began says so ("…; nothing was written").
  const bool untouched = state_ == CardState::kPrepared ||
                         (state_ == CardState::kWriting && reason().find("nothing was written") != std::string::npos);
  const char* what = untouched
                         ? "the card was not written; it is as it was"
                         : state_ == CardState::kWriting
                               ? "the card was only partly written and will not boot; flash it again or reformat it"
                               : "the card was written but is not proven to hold the image; flash it again";
  errors_ << (interrupted() ? "Stopped: " : "Card state: ") << what
          << (finalized ? "" : " (and it may still be offline)") << ".\n"
          << std::flush;
}

// After a write whose readback differed: Windows' mount rewriting FAT
// metadata is harmless and the flash goes on; anything else stops it.
bool CardFlash::judge_readback() {
  const json& write = record_.write;
  const bool streamed = record_.prepared_image.empty();
  // What was written must be what was checked: a prepared image changed
  // since its extraction (by another program, a second flash to the same
  // path, a failing disk), or an image changed since it was decoded and
  // measured, reads back "as written" and proves nothing about the download.
  if (text(write, "sourceSha256") != record_.image_sha256) {
    fail((streamed ? "the image " + record_.image + " changed after it was checked (its decoded digest was "
                   : "the prepared image " + record_.prepared_image + " changed after it was extracted (its digest was ") +
         record_.image_sha256 + ", the bytes written have " + text(write, "sourceSha256") +
         "): the card does not hold the image");
    return false;
  }
  // A sparse write is proven over the extents it wrote, in order.
  const std::string expected = record_.sparse ? text(write, "writtenSha256") : record_.image_sha256;
  const std::uint64_t expected_bytes = record_.sparse ? count(write, "bytesWritten") : record_.image_bytes;
  if (text(write, "observedSha256") == expected && count(write, "verifiedBytes") == expected_bytes) return true;
  // The write's own verdict on the difference; a helper that gave none (or
  // could not classify) is asked once more on its own.
  std::optional<json> judged;
  if (const json verdict = write.value("readbackClass", json()); verdict.is_object() && verdict.contains("safe")) {
    judged = verdict;
  } else {
    json question = {{"imagePath", streamed ? record_.image : record_.prepared_image},
                     {"bytesTotal", record_.image_bytes}};
    if (streamed) question["decompress"] = true;
    if (record_.sparse) {
      question["sparse"] = true;
      question["writeMap"] = write.value("writeMap", json::object());
    }
    judged = call("classify_mismatch", target(std::move(question)));
  }
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

int CardFlash::chain() {
  if (!call("prepare_disk", target())) return kExitFailure;
  view_.note("Prepared " + record_.target + ": its volumes dismounted, no drive letters");
  state_ = CardState::kWriting;
  const bool streamed = record_.prepared_image.empty();
  json writing = {{"imagePath", streamed ? record_.image : record_.prepared_image},
                  {"taskId", "write-" + session_.session_id()},
                  {"bytesTotal", record_.image_bytes}};
  if (streamed) writing["decompress"] = true;
  if (record_.sparse) {
    writing["sparse"] = true;
    if (streamed) writing["writeMap"] = record_.write_map;
  }
  const auto written = call("write_image", target(std::move(writing)));
  if (!written) {
    // A refusal before the first write says so ("nothing was written.",
    // "Nothing was written.", "… was not started.", or Windows' refusal of
    // the raw open, ELEVATION_DENIED); the card is as it was.
    if (reason().find("othing was written.") != std::string::npos ||
        reason().find("was not started.") != std::string::npos ||
        reason().find("ELEVATION_DENIED") != std::string::npos) {
      state_ = CardState::kPrepared;
    }
    return kExitFailure;
  }
  state_ = CardState::kWritten;
  record_.write = *written;
  if (const std::uint64_t skipped = count(*written, "bytesSkipped"); skipped > 0) {
    view_.note("Skipped " + format_bytes(skipped) + " of free file-system space (" + std::to_string(skipped) +
               " bytes): the card keeps its old contents there");
  }
  if (!judge_readback()) return kExitFailure;

  // The classification compared every byte: the boot check counts the card
  // as matching but for Windows' own FAT metadata.
  const bool settled_by_class = record_.mismatch_class.has_value();
  json evidence = {{"expectedSha256", record_.sparse ? text(*written, "writtenSha256") : record_.image_sha256},
                   {"observedSha256", text(*written, "observedSha256")},
                   {"verifiedBytes", count(*written, "verifiedBytes")},
                   {"imageBytes", record_.image_bytes},
                   {"skipChecksum", false},
                   {"mountSideEffectsOnly", settled_by_class},
                   {"model", text(disk_, "model")}};
  if (record_.sparse) evidence["bytesSkipped"] = count(*written, "bytesSkipped");
  const auto boot = call("verify_boot", target(std::move(evidence)));
  if (!boot) return kExitFailure;
  record_.boot_report = boot->value("report", json::object());
  if (!record_.boot_report.value("success", false)) {
    return fail("the card is not ready to boot (boot report: " + text(record_.boot_report, "outcome") + ")");
  }

  if (customization_) {
    const auto customized = call("apply_customization", target(*customization_));
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

}  // namespace flash
