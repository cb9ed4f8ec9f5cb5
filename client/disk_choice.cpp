#include "disk_choice.h"

#include <iostream>
#include <vector>

#include "flash_options.h"
#include "host_os.h"
#include "platform/unicode.h"
#include "progress_view.h"
#include "volume_names.h"

namespace flash {

using nlohmann::json;

namespace {

std::string text(const json& disk, const char* name) {
  const auto found = disk.find(name);
  return found != disk.end() && found->is_string() ? found->get<std::string>() : std::string();
}

void append_escaped(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0xF];
}

// The length of the valid UTF-8 sequence at `at`, or 0.
std::size_t sequence_length(std::string_view text, std::size_t at) {
  const auto byte = static_cast<unsigned char>(text[at]);
  const std::size_t length = byte < 0x80 ? 1 : byte >= 0xC2 && byte < 0xE0 ? 2 : byte >= 0xE0 && byte < 0xF0 ? 3
                             : byte >= 0xF0 && byte < 0xF5 ? 4 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  return wh::is_valid_utf8(text.substr(at, length)) ? length : 0;
}

bool all_digits(const std::string& value) {
  return !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

wh::Result<json, std::string> select_disk(const json& disks, const std::string& wanted) {
  const auto usable = [&](const json& disk, const std::string& named) -> wh::Result<json, std::string> {
    if (const std::string why = unavailable_text(disk); !why.empty()) {
      return wh::Err("disk " + disk_number(disk) + " (" + named + ") cannot be written now: " + why +
                     "; nothing was written");
    }
    return disk;
  };
  if (const auto letter = drive_letter(wanted); letter && !all_digits(wanted)) {
    const std::string named = std::string(1, *letter) + ":";
    for (const json& disk : disks) {
      bool spans = false;
      if (!disk.is_object() || !holds_letter(disk, *letter, spans)) continue;
      if (spans) {
        return wh::Err(named + " spans several disks, so it names no one card; give the card's number from the "
                       "list instead; nothing was written");
      }
      return usable(disk, named);
    }
    return wh::Err("no removable disk holds " + named + " (a fixed disk, or the disk Windows runs from, is never "
                   "offered); nothing was written");
  }
  const std::string key = wh::ascii_lower(all_digits(wanted) ? "PhysicalDrive" + wanted : wanted);
  for (const json& disk : disks) {
    if (!disk.is_object()) continue;
    for (const char* name : {"id", "osDevicePath", "rawDisk"}) {
      if (!text(disk, name).empty() && wh::ascii_lower(text(disk, name)) == key) return usable(disk, wanted);
    }
  }
  return wh::Err("no removable disk " + wanted + " among the candidates; nothing was written");
}

std::string disk_number(const json& disk) {
  const std::string id = text(disk, "id");
  const auto digits = id.find_first_of("0123456789");
  return digits == std::string::npos ? std::string("?") : printable(id.substr(digits));
}

std::string printable(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const std::size_t length = sequence_length(text, at);
    // C1 controls are U+0080 to U+009F: C2 80 to C2 9F.
    const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
    if (length == 0 || (length == 1 && (byte < 0x20 || byte == 0x7F)) || c1) {
      for (std::size_t i = 0; i < (c1 ? 2 : 1); ++i) append_escaped(out, static_cast<unsigned char>(text[at + i]));
      at += c1 ? 2 : 1;
      continue;
    }
    out.append(text.substr(at, length));
    at += length;
  }
  return out;
}

std::string describe_disk(const json& disk) {
  std::string line = text(disk, "osDevicePath");
  if (disk.contains("sizeBytes") && disk["sizeBytes"].is_number_unsigned()) {
    line += "  " + format_bytes(disk["sizeBytes"].get<std::uint64_t>());
  }
  line += "  " + text(disk, "model");
  std::string kind = text(disk, "targetType");
  if (kind.empty()) kind = text(disk, "usbPath");
  if (disk.contains("serial") && disk["serial"].is_string()) {
    kind += (kind.empty() ? "" : ", ") + std::string("serial ") + disk["serial"].get<std::string>();
  }
  if (!kind.empty()) line += " (" + kind + ")";
  return printable(line);
}

void print_candidates(std::ostream& out, const json& disks) {
  std::vector<const json*> ready, unavailable;
  if (disks.is_array()) {
    for (const json& disk : disks) {
      if (disk.is_object()) (unavailable_text(disk).empty() ? ready : unavailable).push_back(&disk);
    }
  }
  if (ready.empty()) {
    out << "No removable disk to write to.\n";
  } else {
    out << "Removable disks (choose one with --disk N or --disk E:):\n";
  }
  for (const json* disk : ready) {
    out << "  " << disk_number(*disk) << "  " << describe_disk(*disk) << '\n';
    if (!disk->contains("volumes")) continue;  // a helper that does not tell
    const std::string volumes = describe_volumes(*disk);
    out << "       " << (volumes.empty() ? "no volume: blank, or not partitioned" : "holds " + volumes) << '\n';
  }
  if (unavailable.empty()) return;
  out << "Cards that cannot be written now:\n";
  for (const json* disk : unavailable) {
    std::string name = text(*disk, "osDevicePath");
    if (const std::string model = text(*disk, "model"); !model.empty() && model != "Unknown") name += "  " + model;
    out << "  " << disk_number(*disk) << "  " << printable(name) << ": " << unavailable_text(*disk) << '\n';
  }
}

json target_members(const json& disk) {
  const std::string path = text(disk, "osDevicePath");
  json identity{{"physicalDriveNumber", path}, {"sizeBytes", disk.value("sizeBytes", json())}};
  if (disk.contains("serial") && disk["serial"].is_string()) identity["serial"] = disk["serial"];
  return json{{"osDevicePath", path}, {"expectedIdentity", identity}};
}

wh::Result<void, Refusal> confirm_erase(const json& disk, std::ostream& prompt, const std::string& then) {
  const std::string name = "disk " + disk_number(disk) + " (" + describe_disk(disk) + ")";
  if (!is_terminal(Stream::kInput)) {
    return wh::Err(Refusal{"will not erase " + describe_disk(disk) + " without --yes: standard input is not a "
                           "terminal to ask on; nothing was written",
                           kExitUsage});
  }
  const std::string volumes = describe_volumes(disk);
  prompt << "Erase " << (volumes.empty() ? "everything on " + name : volumes + " on " + name)
         << (then.empty() ? "" : " " + then) << "? Type yes to go on: " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return wh::Err(Refusal{"no answer; nothing was written", kExitDeclined});
  const std::string clean = wh::utf8_lossy(answer);
  const std::string lowered = wh::ascii_lower(wh::trim_unicode_whitespace(clean));
  if (lowered != "yes" && lowered != "y") return wh::Err(Refusal{"not confirmed; nothing was written", kExitDeclined});
  return {};
}

}  // namespace flash
