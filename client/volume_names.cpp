#include "volume_names.h"

#include "disk_choice.h"
#include "progress_view.h"
#include "summary.h"

namespace flash {

using nlohmann::json;

std::string describe_volume(const json& volume) {
  std::string name;
  for (const json& letter : volume.value("letters", json::array())) {
    if (letter.is_string()) name += (name.empty() ? "" : " ") + letter.get<std::string>();
  }
  const std::string label = text(volume, "label");
  if (!label.empty()) name += (name.empty() ? "" : " ") + label;
  if (name.empty()) name = "a volume without a drive letter";
  const std::string file_system = text(volume, "fileSystem");
  if (file_system == "RAW") return printable(name + " (not formatted)");
  std::string details = file_system;
  if (volume.contains("usedBytes")) {
    details += (details.empty() ? "" : ", ") + format_bytes(count(volume, "usedBytes")) + " used";
  }
  return printable(details.empty() ? name : name + " (" + details + ")");
}

std::string describe_volumes(const json& disk) {
  const json volumes = disk.value("volumes", json::array());
  std::string joined;
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    if (!volumes[i].is_object()) continue;
    if (!joined.empty()) joined += i + 1 == volumes.size() ? " and " : ", ";
    joined += describe_volume(volumes[i]);
  }
  return joined;
}

std::optional<char> drive_letter(const std::string& wanted) {
  const bool letter = !wanted.empty() && ((wanted[0] >= 'A' && wanted[0] <= 'Z') || (wanted[0] >= 'a' && wanted[0] <= 'z'));
  if (!letter) return std::nullopt;
  const std::string rest = wanted.substr(1);
  if (rest != "" && rest != ":" && rest != ":\\" && rest != ":/") return std::nullopt;
  return static_cast<char>(wanted[0] & ~0x20);
}

bool holds_letter(const json& disk, char letter, bool& spans) {
  for (const json& volume : disk.value("volumes", json::array())) {
    for (const json& held : volume.value("letters", json::array())) {
      const std::string name = held.is_string() ? held.get<std::string>() : "";
      if (name.empty() || (name[0] & ~0x20) != letter) continue;
      spans = volume.value("spansDisks", false);
      return true;
    }
  }
  return false;
}

std::string unavailable_text(const json& disk) {
  if (disk.value("available", true)) return "";
  const std::string reason = text(disk, "unavailableReason");
  if (reason == "write-protected") return "write-protected: slide the card's lock switch away from the lock position";
  if (reason == "busy") {
    return "busy: another program has it open (another flash-card writing it?); wait for it or close it";
  }
  if (reason == "no-medium") return "no card in the reader";
  return reason.empty() ? "cannot be written now" : printable(reason);
}

}  // namespace flash
