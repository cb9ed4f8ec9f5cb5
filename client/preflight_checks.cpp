#include "preflight_checks.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "host_os.h"
#include "image_look.h"
#include "summary.h"

namespace flash {

using nlohmann::json;

namespace {

// The most the helper reads of one request (its --request-file limit).
constexpr std::size_t kMaxRequestBytes = 16u << 20;

}  // namespace

std::string image_path_refusal(const std::string& image) {
  std::error_code error;
  const auto status = std::filesystem::status(utf8_path(image), error);
  if (status.type() == std::filesystem::file_type::not_found) {
    return "the image " + image + " was not found; check its name and folder; nothing was written";
  }
  if (status.type() == std::filesystem::file_type::directory) {
    return image + " is a folder, not an image; give the image file in it; nothing was written";
  }
  return "";  // anything else the helper's own checks judge
}

std::string image_refusal(const FlashOptions& options, const json& measured) {
  const std::string& image = options.image;
  if (count(measured, "uncompressedBytes") == 0) {
    return "the image " + image + " is empty: it decodes to no bytes (a download that failed?); nothing was written";
  }
  if (!measured.contains("partitionTable")) {
    return "the image " + image + " is not a disk image: its " + text(measured, "format") +
           " data has no partition table (a web page or another file saved under the image's name?); nothing was "
           "written";
  }
  std::vector<std::string> folders;
  for (const CardFile& file : options.files) {
    const std::size_t slash = file.card_path.find_last_of("/\\");
    if (slash != std::string::npos && slash > 0) folders.push_back(file.card_path.substr(0, slash));
  }
  auto look = look_into_image(image, folders);
  if (!look) {
    return "cannot read the image " + image + ": " + look.error() + "; nothing was written";
  }
  const std::uint64_t size = count(measured, "uncompressedBytes");
  if (look->layout.partitions_end > size) {
    return "the image " + image +
           " is cut short (a download that did not finish?): its partition table says partition " +
           std::to_string(look->layout.last_partition) + " ends at byte " +
           std::to_string(look->layout.partitions_end) + ", but the image ends at byte " + std::to_string(size) +
           "; download it again; nothing was written";
  }
  if (!folders.empty() && !look->boot_partition) {
    return "the image " + image + " has no FAT32 boot partition for the --file paths; nothing was written";
  }
  for (const std::string& folder : look->missing_folders) {
    for (const CardFile& file : options.files) {
      if (!file.card_path.starts_with(folder)) continue;
      return "--file " + file.card_path + "=" + file.host_path + ": the image's boot partition has no folder " +
             folder + " (the first-boot files go into folders the image already has); nothing was written";
    }
  }
  return "";
}

std::string request_refusal(const json& payload, const std::string& session_id) {
  const json request{{"id", "99"}, {"sessionId", session_id}, {"command", "apply_customization"}, {"payload", payload}};
  const std::size_t bytes = request.dump(-1, ' ', false, json::error_handler_t::replace).size();
  if (bytes <= kMaxRequestBytes) return "";
  return "the first-boot files make a request of " + std::to_string(bytes) +
         " bytes, and the helper takes requests of at most 16 MiB (" + std::to_string(kMaxRequestBytes) +
         " bytes); leave out or shorten a --file; nothing was written";
}

}  // namespace flash
