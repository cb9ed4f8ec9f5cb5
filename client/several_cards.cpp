#include "several_cards.h"

#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "card_flash.h"
#include "disk_choice.h"
#include "host_os.h"
#include "prefixed_lines.h"

namespace flash {

using nlohmann::json;

// Each card through its own chain of helper processes, all at once: each
// with its own session, identity proofs and lines, so that one card failing
// never stops or touches another.
int flash_at_once(const FlashOptions& options, const std::vector<json>& disks, const FlashRecord& common,
                  const std::optional<json>& customization, const std::string& helper_path,
                  const FlowStreams& streams) {
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
  for (const json& disk : disks) {
    auto lane = std::make_unique<Lane>();
    lane->name = printable(text(disk, "osDevicePath"));
    const std::string prefix = "[" + lane->name + "] ";
    lane->display = std::make_unique<PrefixedStream>(streams.display, display_lock, prefix);
    lane->errors = std::make_unique<PrefixedStream>(streams.errors, error_lock, prefix);
    if (streams.passthrough != nullptr) {
      lane->passthrough = std::make_unique<PrefixedStream>(*streams.passthrough, display_lock, "");
    }
    lane->session = std::make_unique<HelperSession>(helper_path, make_session_id(),
                                                    streams.transcript ? &lane->transcript : nullptr,
                                                    lane->passthrough.get());
    // Plain lines: several cards cannot share one line redrawn in place.
    lane->view = std::make_unique<ProgressView>(*lane->display, /*live=*/false);
    lane->view->plan({{"WRITE", common.image_bytes}, {"VERIFY", bytes_read_back(common)}});
    FlashRecord record = common;
    record.target = describe_disk(disk);
    // Each card's failure is told once, in the summary.
    lane->card = std::make_unique<CardFlash>(options, *lane->session, *lane->view, *lane->errors, disk,
                                             std::move(record), customization,
                                             StepOptions{options.verbose, !streams.show_summary});
    lanes.push_back(std::move(lane));
  }
  {
    std::vector<std::jthread> running;
    for (auto& lane : lanes) running.emplace_back([&lane] { lane->status = lane->card->run(); });
  }
  if (streams.transcript != nullptr) {
    for (const auto& lane : lanes) *streams.transcript << lane->transcript.str();
    *streams.transcript << std::flush;
  }
  int status = kExitSuccess;
  if (streams.show_summary) streams.display << "\nSummary\n";
  for (const auto& lane : lanes) {
    if (lane->status != kExitSuccess) status = kExitFailure;
    if (!streams.show_summary) continue;
    // A ready card's verdict names it; a failure's reason may not.
    const std::string verdict = lane->card->verdict(lane->status);
    if (lane->status == kExitSuccess) {
      streams.display << "  " << verdict << '\n';
    } else {
      streams.display << "  " << lane->name << "  " << (verdict.empty() ? "Stopped" : verdict) << '\n';
    }
  }
  streams.display << std::flush;
  if (interrupted() && status != kExitSuccess) return kExitInterrupted;
  return status;
}

}  // namespace flash
