// The desktop app's course through the helper, one process per step:
// health, image_validate_xz, list_disks, the user's choice,
// image_uncompressed_size, image_extract_xz, then for each chosen card (at
// once when there are several) its own chain (card_flash.h).
#pragma once

#include <ostream>

#include "flash_options.h"
#include "helper_session.h"
#include "progress_view.h"

namespace flash {

struct FlowStreams {
  std::ostream& display;  // progress, steps and the summary
  std::ostream& errors;   // the reason for a failure
  std::ostream& prompt;   // the erase question
  bool show_summary = true;
  std::ostream* transcript = nullptr;   // where the session writes its transcript, if anywhere
  std::ostream* passthrough = nullptr;  // where the helper's lines go unchanged (--json)
};

// Runs the whole course; the exit status of flash-card.
int run_flash(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams);

}  // namespace flash
