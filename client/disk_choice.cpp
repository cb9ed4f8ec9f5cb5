#include "disk_choice.h"

#include <iostream>

#include "host_os.h"
#include "platform/unicode.h"
#include "progress_view.h"

namespace flash {

using nlohmann::json;

namespace {

std::string text(const json& disk, const char* name) {
  const auto found = disk.find(name);
  return found != disk.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool all_digits(const std::string& value) {
  return !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

wh::Result<json, std::string> select_disk(const json& disks, const std::string& wanted) {
  const std::string key = wh::ascii_lower(all_digits(wanted) ? "PhysicalDrive" + wanted : wanted);
  for (const json& disk : disks) {
    if (!disk.is_object()) continue;
    for (const char* name : {"id", "osDevicePath", "rawDisk"}) {
      if (!text(disk, name).empty() && wh::ascii_lower(text(disk, name)) == key) return disk;
    }
  }
  return wh::Err("no removable disk " + wanted + " among the candidates");
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
  return line;
}

void print_candidates(std::ostream& out, const json& disks) {
  if (!disks.is_array() || disks.empty()) {
    out << "No removable disk to write to.\n";
    return;
  }
  out << "Removable disks (choose one with --disk N or --disk PATH):\n";
  for (const json& disk : disks) {
    const std::string id = text(disk, "id");
    const auto digits = id.find_first_of("0123456789");
    out << "  " << (digits == std::string::npos ? std::string("?") : id.substr(digits)) << "  "
        << describe_disk(disk) << '\n';
  }
}

json target_members(const json& disk) {
  const std::string path = text(disk, "osDevicePath");
  json identity{{"physicalDriveNumber", path}, {"sizeBytes", disk.value("sizeBytes", json())}};
  if (disk.contains("serial") && disk["serial"].is_string()) identity["serial"] = disk["serial"];
  return json{{"osDevicePath", path}, {"expectedIdentity", identity}};
}

wh::Result<void, std::string> confirm_erase(const json& disk, std::ostream& prompt) {
  const std::string name = describe_disk(disk);
  if (!is_terminal(Stream::kInput)) {
    return wh::Err("will not erase " + name + " without --yes: standard input is not a terminal to ask on");
  }
  prompt << "Erase everything on " << name << "? Type yes to go on: " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return wh::Err(std::string("no answer; nothing was written"));
  const std::string clean = wh::utf8_lossy(answer);
  const std::string lowered = wh::ascii_lower(wh::trim_unicode_whitespace(clean));
  if (lowered != "yes" && lowered != "y") return wh::Err(std::string("not confirmed; nothing was written"));
  return {};
}

}  // namespace flash
