// The desktop app's course through the helper, one process per step:
// health, image_validate_xz, list_disks, the user's choice,
// image_uncompressed_size, image_extract_xz, prepare_disk, write_image,
// classify_mismatch when the readback differed, verify_boot,
// apply_customization when asked for, detach_target.
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
};

// Runs the whole course; the exit status of flash-card.
int run_flash(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams);

}  // namespace flash
