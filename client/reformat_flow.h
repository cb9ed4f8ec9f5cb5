// flash-card --reformat --disk N: a card back to ordinary use, one exFAT
// volume over the whole card, through reformat_disk, after the same choice
// and the same confirmation as a flash.
#pragma once

#include "flash_flow.h"

namespace flash {

// The exit status: kExitSuccess once the card is one exFAT volume.
int run_reformat(const FlashOptions& options, HelperSession& session, ProgressView& view, const FlowStreams& streams);

}  // namespace flash
