#include "card_flash.h"

#include <algorithm>

#include "disk_choice.h"
#include "host_os.h"

namespace flash {

using nlohmann::json;

json CardFlash::target(json more) const {
  more.update(target_members(disk_));
  return more;
}

int CardFlash::run() {
  card_.customization_asked = customization_.has_value();
  const std::string id = text(disk_, "id");
  const auto digits = id.find_first_of("0123456789");
  if (digits != std::string::npos) card_.disk_number = id.substr(digits);
  const int status = chain();
  if (status != kExitSuccess) leave_card_safe();
  return status;
}

std::string CardFlash::verdict(int status) const {
  if (status == kExitSuccess) {
    return "Card ready: " + record_.target + " holds the image and passed the boot check; safe to remove.";
  }
  return reason().empty() ? "" : "FAILED: " + reason_in_full();
}

void CardFlash::leave_card_safe() {
  // A refusal before prepare_disk changed anything leaves nothing to undo;
  // finalizing a card that another program holds could only disturb it.
  bool finalized = true;
  if (!prepare_refused_) finalized = clean_up("finalize_disk", target()).has_value();
  errors_ << (interrupted() ? "Stopped: " : "Card state: ") << describe_card_state(card_)
          << (finalized ? "" : " (and it may still be offline)") << ".\n"
          << std::flush;
}

std::optional<json> CardFlash::write() {
  const bool streamed = record_.prepared_image.empty();
  json writing = {{"imagePath", streamed ? record_.image : record_.prepared_image},
                  {"taskId", "write-" + session_.session_id()},
                  {"bytesTotal", record_.image_bytes}};
  if (streamed) writing["decompress"] = true;
  if (record_.sparse) {
    writing["sparse"] = true;
    if (streamed) writing["writeMap"] = record_.write_map;
  }
  bool write_seen = false;
  auto written = call("write_image", target(std::move(writing)), [&](const json& event) {
    write_seen = write_seen || event.value("stage", "") == "WRITE";
    card_.state = after_write_event(card_.state, event);
  });
  if (written) {
    card_.state = std::max(card_.state, CardState::kWritten);
  } else if (!interrupted() && refused_before_writing(refusal_code(), refusal_message(), write_seen)) {
    card_.held_elsewhere = says_card_held(refusal_code(), refusal_message());
  } else {
    // Stopped or failed within the copy, perhaps before its first line:
    // some of the image may be on the card.
    card_.state = std::max(card_.state, CardState::kPartlyWritten);
  }
  return written;
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
  if (!call("prepare_disk", target())) {
    prepare_refused_ = !interrupted() && refusal_message().find("was not started.") != std::string::npos;
    card_.held_elsewhere = says_card_held(refusal_code(), refusal_message());
    return kExitFailure;
  }
  view_.note("Prepared " + record_.target + ": its volumes dismounted, no drive letters");
  const auto written = write();
  if (!written) return kExitFailure;
  record_.write = *written;
  if (const std::uint64_t skipped = count(*written, "bytesSkipped"); skipped > 0) {
    view_.note("Skipped " + format_bytes(skipped) + " of free file-system space (" + std::to_string(skipped) +
               " bytes): the card keeps its old contents there");
  }
  if (!judge_readback()) return kExitFailure;
  card_.state = CardState::kVerified;

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
    card_.boot = BootCheck::kFailed;
    return fail("the card will not boot: its boot check says " + text(record_.boot_report, "outcome") +
                " (the report is above); try another image");
  }
  card_.boot = BootCheck::kPassed;

  if (customization_) {
    const auto customized = call("apply_customization", target(*customization_));
    if (!customized) return kExitFailure;
    card_.state = CardState::kCustomized;
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
