// What a card holds when its flash stops, from the last step that finished:
// nothing written, partly written, written but not verified, verified (and
// perhaps boot-checked), customized. The write's own progress tells when
// the writing ended (its flush begins) and its readback began, so a stop
// during the readback finds the card written, not partly written.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace flash {

enum class CardState {
  kUntouched,      // no byte of the image reached the card
  kPartlyWritten,  // writing began and did not end
  kWritten,        // every byte written and flushed; not (or not yet) read back as the image
  kVerified,       // read back as the image
  kCustomized,     // and the first-boot files are on it
};

enum class BootCheck { kNotRun, kPassed, kFailed };

struct CardFacts {
  CardState state = CardState::kUntouched;
  BootCheck boot = BootCheck::kNotRun;
  bool customization_asked = false;
  // This run wrote nothing because another program holds the card, which
  // may be another flash-card writing it: its state is not this run's.
  bool held_elsewhere = false;
  // The drive number, for the reformat advice.
  std::string disk_number;
};

// The state after one progress event of write_image: a WRITE line that
// moved bytes begins the writing; a FINALIZE line that says the buffers
// were flushed, or any VERIFY line, ends it.
CardState after_write_event(CardState state, const nlohmann::json& event);

// Whether write_image's refusal (`code`, `message`) came before its first
// write, given that no WRITE line had come: the volume locks, the raw open
// and the identity proof all come first, and the copy's own failures are
// WRITE_FAILED or the image's.
bool refused_before_writing(const std::string& code, const std::string& message, bool write_seen);

// Whether a refusal says the disk in the reader is no longer the chosen
// card: the helper's identity proofs ("Target serial changed before …").
bool says_card_swapped(const std::string& message);

// Whether a refusal says another program holds the card.
bool says_card_held(const std::string& code, const std::string& message);

// One sentence on what the card holds and what to do with it, without the
// "Card state: " or "Stopped: " before it and the full stop after it.
std::string describe_card_state(const CardFacts& facts);

}  // namespace flash
