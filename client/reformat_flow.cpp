#include "reformat_flow.h"

#include "course_steps.h"
#include "disk_choice.h"
#include "host_os.h"
#include "summary.h"
#include "volume_names.h"

namespace flash {

using nlohmann::json;

namespace {

class ReformatFlow : public CourseSteps {
 public:
  ReformatFlow(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams)
      : CourseSteps(session, view, streams.errors, StepOptions{options.verbose, true}),
        options_(options),
        streams_(streams) {}

  int run();

 private:
  int reformat(const json& disk);

  const FlashOptions& options_;
  const FlowStreams& streams_;
};

int ReformatFlow::run() {
  const auto elevated = greet();
  if (!elevated) return kExitFailure;
  if (!*elevated) return refuse_unelevated("reformatting a card");
  const auto disks = candidates();
  if (!disks) return kExitFailure;
  std::vector<json> chosen;
  if (const int status = choose(*disks, options_.disks, streams_.display, chosen); status != kExitSuccess) {
    return status;
  }
  if (options_.dry_run) {
    for (const json& disk : chosen) view_.note("Dry run: " + describe_disk(disk) + " can be reformatted; nothing was written.");
    return kExitSuccess;
  }
  if (!options_.yes) {
    for (const json& disk : chosen) {
      if (auto consent = confirm_erase(disk, streams_.prompt, "and make it one exFAT volume"); !consent) {
        return fail(consent.error().reason, consent.error().status);
      }
    }
  }
  for (const json& disk : chosen) {
    if (const int status = reformat(disk); status != kExitSuccess) return status;
  }
  return kExitSuccess;
}

int ReformatFlow::reformat(const json& disk) {
  view_.note("Reformatting " + describe_disk(disk) + " (this takes up to a minute)");
  if (!call("reformat_disk", target_members(disk))) {
    if (interrupted()) {
      streams_.errors << "Stopped: the card may be partly erased; run the same command again.\n" << std::flush;
      return kExitInterrupted;
    }
    streams_.errors << "Card state: the card may be partly erased; run the same command again.\n" << std::flush;
    return kExitFailure;
  }
  // The card as Windows now shows it: its new volume and letter.
  std::string shown = "one exFAT volume";
  if (const auto disks = candidates()) {
    for (const json& now : *disks) {
      if (text(now, "osDevicePath") == text(disk, "osDevicePath") && !describe_volumes(now).empty()) {
        shown = describe_volumes(now);
      }
    }
  }
  streams_.display << "Card reformatted: disk " << disk_number(disk) << " (" << describe_disk(disk) << ") holds "
                   << shown << ".\n"
                   << std::flush;
  return kExitSuccess;
}

}  // namespace

int run_reformat(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams) {
  return ReformatFlow(options, session, view, streams).run();
}

}  // namespace flash
