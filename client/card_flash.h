// One card's own chain of helper processes, once the image is extracted:
// prepare_disk, write_image, classify_mismatch when the readback differed,
// verify_boot, apply_customization when asked for, detach_target; and after
// a failure or an interruption once the card was prepared, finalize_disk and
// one line on what the card holds (card_state.h).
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "card_state.h"
#include "flash_options.h"
#include "helper_steps.h"
#include "summary.h"

namespace flash {

class CardFlash : public HelperSteps {
 public:
  // `record` holds what the flash knows of the image and the card already.
  CardFlash(const FlashOptions& options, HelperSession& session, ProgressView& view, std::ostream& errors,
            nlohmann::json disk, FlashRecord record, const std::optional<nlohmann::json>& customization,
            StepOptions step_options = {})
      : HelperSteps(session, view, errors, step_options),
        options_(options),
        disk_(std::move(disk)),
        record_(std::move(record)),
        customization_(customization) {}

  // The exit status for this card: kExitSuccess when it is ready.
  int run();

  const FlashRecord& record() const { return record_; }
  // "Card ready: … safe to remove." or "FAILED: …", or "" after an interruption.
  std::string verdict(int status) const;

 private:
  int chain();
  // write_image, following how far the card has come.
  std::optional<nlohmann::json> write();
  bool judge_readback();
  void leave_card_safe();
  nlohmann::json target(nlohmann::json more = nlohmann::json::object()) const;

  const FlashOptions& options_;
  nlohmann::json disk_;
  FlashRecord record_;
  const std::optional<nlohmann::json>& customization_;
  CardFacts card_;  // how far the card has come, for what is said of it when the flash stops
  bool prepare_refused_ = false;  // prepare_disk refused before it changed anything
};

}  // namespace flash
