#include "card_state.h"

#include <regex>

namespace flash {

using nlohmann::json;

CardState after_write_event(CardState state, const json& event) {
  const std::string stage = event.value("stage", "");
  const auto bytes = event.value("bytesProcessed", json(0));
  const bool moved = bytes.is_number_unsigned() && bytes.get<std::uint64_t>() > 0;
  if (state == CardState::kUntouched && stage == "WRITE" && moved) return CardState::kPartlyWritten;
  // The flush's closing line, and the readback after it: every byte is on the card.
  const bool flushed = stage == "FINALIZE" && event.value("message", "") == "Disk buffers flushed";
  if ((flushed || stage == "VERIFY") && state < CardState::kWritten) return CardState::kWritten;
  return state;
}

bool refused_before_writing(const std::string& code, const std::string& message, bool write_seen) {
  const auto says = [&](const char* text) { return message.find(text) != std::string::npos; };
  if (says("othing was written.") || says("was not started.")) return true;  // "nothing", "Nothing"
  return !write_seen && (code == "UNMOUNT_FAILED" || code == "ELEVATION_DENIED" || code == "DEVICE_DISCONNECTED");
}

bool says_card_swapped(const std::string& message) {
  static const std::regex kChanged(R"(Target (identity|capacity|serial) changed (before|after) )");
  return std::regex_search(message, kChanged);
}

bool says_card_held(const std::string& code, const std::string& message) {
  if (says_card_swapped(message)) return false;  // refused as another card, whatever the code
  return code == "UNMOUNT_FAILED" || message.find("(os error 32)") != std::string::npos;
}

std::string describe_card_state(const CardFacts& facts) {
  const std::string reformat = "flash-card --reformat --disk " + (facts.disk_number.empty() ? "N" : facts.disk_number);
  switch (facts.state) {
    case CardState::kUntouched:
      if (facts.held_elsewhere) {
        return "this run wrote nothing to the card, but another program holds it (another flash-card writing "
               "it?), so what it holds is that program's doing; wait for it to finish";
      }
      return "the card was not written; it is as it was";
    case CardState::kPartlyWritten:
      return "the card was only partly written and will not boot; flash it again, or make it one exFAT volume "
             "again with " + reformat;
    case CardState::kWritten:
      return "the card was written but is not proven to hold the image; flash it again";
    case CardState::kVerified:
      if (facts.boot == BootCheck::kFailed) {
        return "the card holds the image, read back byte for byte, but the image does not boot from it; try "
               "another image, or make the card one exFAT volume again with " + reformat;
      }
      if (facts.boot == BootCheck::kNotRun) {
        return "the card holds the image, read back byte for byte, but its boot check did not finish; flash it "
               "again to be sure";
      }
      if (facts.customization_asked) {
        return "the card holds the image and passed the boot check, but not its first-boot files; flash it again "
               "to add them";
      }
      return "the card holds the image and passed the boot check, but was not released; eject it in Windows "
             "before you take it out";
    case CardState::kCustomized:
      return "the card holds the image and its first-boot files, but was not released; eject it in Windows before "
             "you take it out";
  }
  return "";
}

}  // namespace flash
