#include "flash_flow.h"

#include <fstream>
#include <optional>
#include <sstream>

#include "disk_choice.h"
#include "host_os.h"
#include "platform/unicode.h"
#include "summary.h"

namespace flash {

using nlohmann::json;

namespace {

class FlashFlow {
 public:
  FlashFlow(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams)
      : options_(options), session_(session), view_(view), streams_(streams) {}

  int run();

 private:
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
};

std::optional<json> FlashFlow::call(const std::string& command, const json& payload) {
  if (failed_) return std::nullopt;
  auto reply = session_.call(command, payload, [this](const json& event) { view_.on_event(event); });
  view_.finish();
  if (!reply) {
    fail(reply.error());
    return std::nullopt;
  }
  if (!reply->ok) {
    fail(command + " failed: " + reply->error_code + ": " + reply->error_message);
    return std::nullopt;
  }
  return reply->payload;
}

int FlashFlow::fail(const std::string& reason) {
  failed_ = true;
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

int FlashFlow::run() {
  // The first-boot files are read before anything is written, so that a bad
  // one cannot leave a flashed card without them.
  std::optional<json> customization;
  const bool customize = options_.disk && (!options_.files.empty() || !options_.cmdline_append.empty());
  if (customize && !(customization = customization_payload())) return kExitFailure;

  const auto health = call("health", json::object());
  if (!health) return kExitFailure;
  view_.note("Helper " + text(*health, "helperVersion") + " on " + text(*health, "platform") +
             (health->value("isElevated", false) ? ", running as administrator" : ", NOT running as administrator"));

  // The image is checked before the user is asked to give up a card for it.
  if (options_.disk && !call("image_validate_xz", {{"imagePath", options_.image}})) return kExitFailure;

  const auto listed = call("list_disks", json::object());
  if (!listed) return kExitFailure;
  const json disks = listed->value("disks", json::array());
  if (!options_.disk) {
    print_candidates(streams_.display, disks);
    streams_.display << std::flush;
    return kExitListedOnly;
  }
  auto chosen = select_disk(disks, *options_.disk);
  if (!chosen) {
    print_candidates(streams_.display, disks);
    return fail(chosen.error());
  }
  disk_ = *chosen;
  record_.target = describe_disk(disk_);
  if (!options_.yes) {
    if (auto consent = confirm_erase(disk_, streams_.prompt); !consent) return fail(consent.error());
  }
  record_.image = options_.image;
  record_.prepared_image = options_.prepared_image;

  const auto size = call("image_uncompressed_size", {{"imagePath", options_.image}});
  if (!size) return kExitFailure;
  record_.image_bytes = count(*size, "uncompressedBytes");
  view_.note("Image " + options_.image + ": valid XZ, " + format_bytes(record_.image_bytes) + " uncompressed");
  const auto extracted = call("image_extract_xz", {{"imagePath", options_.image},
                                                   {"outputPath", options_.prepared_image},
                                                   {"uncompressedBytes", record_.image_bytes}});
  if (!extracted) return kExitFailure;
  record_.image_sha256 = text(*extracted, "sha256");

  if (!call("prepare_disk", target())) return kExitFailure;
  view_.note("Prepared " + record_.target + ": offline, no drive letters");
  const auto written = call("write_image", target({{"imagePath", options_.prepared_image},
                                                   {"taskId", "write-" + session_.session_id()},
                                                   {"bytesTotal", record_.image_bytes}}));
  if (!written) return kExitFailure;
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
  if (streams_.show_summary) print_summary(streams_.display, record_, view_);
  return kExitSuccess;
}

}  // namespace

int run_flash(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams) {
  return FlashFlow(options, session, view, streams).run();
}

}  // namespace flash
