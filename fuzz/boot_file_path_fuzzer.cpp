// libFuzzer target for resolve_boot_file_path, which turns a path from the
// request into one on the proven boot volume. An accepted path is the volume
// followed by the relative path with "/" as "\", and stays inside the volume:
// no empty, "." or ".." piece, no colon (drive or stream), no control
// character. Everything else is refused with the one documented error.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "customize/boot_files.h"
#include "platform/unicode.h"
#include "target/volume_locks.h"

namespace {

constexpr std::string_view kVolume = "\\\\?\\Volume{0a1b2c3d-4e5f-6789-abcd-ef0123456789}\\";

bool has_control(std::string_view text) {
  // Undecodable bytes stand for U+FFFD, which is not a control character.
  const std::u16string units = wh::utf8_to_utf16(wh::utf8_lossy(text));
  for (char16_t c : units) {
    if (c <= 0x1F || (c >= 0x7F && c <= 0x9F)) return true;
  }
  return false;
}

bool pieces_inside(std::string_view relative) {
  std::string piece;
  for (std::size_t k = 0; k <= relative.size(); ++k) {
    if (k == relative.size() || relative[k] == '/' || relative[k] == '\\') {
      if (piece.empty() || piece == "." || piece == "..") return false;
      piece.clear();
    } else {
      piece.push_back(relative[k]);
    }
  }
  return true;
}

bool acceptable(const std::string& volume, std::string_view relative) {
  return wh::is_volume_guid_path(volume) && !relative.empty() && relative.find(':') == std::string_view::npos &&
         !has_control(relative) && pieces_inside(relative);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool own_volume = input.ConsumeBool();
  const std::string volume = own_volume ? std::string(kVolume) : input.ConsumeRandomLengthString(64);
  const std::string relative = input.ConsumeRemainingBytesAsString();

  const auto resolved = wh::resolve_boot_file_path(volume, relative);
  if (resolved.ok() != acceptable(volume, relative)) std::abort();
  if (!resolved.ok()) {
    if (resolved.error().code != wh::ErrorCode::kWriteFailed) std::abort();
    if (resolved.error().message != "Invalid first-boot file path.") std::abort();
    return 0;
  }
  const std::string& full = *resolved;
  if (full.size() != volume.size() + relative.size() || full.compare(0, volume.size(), volume) != 0) std::abort();
  const std::string_view rest = std::string_view(full).substr(volume.size());
  for (std::size_t k = 0; k < rest.size(); ++k) {
    const char expected = relative[k] == '/' ? '\\' : relative[k];
    if (rest[k] != expected || rest[k] == '/') std::abort();
  }
  if (!pieces_inside(rest) || rest.find(':') != std::string_view::npos || has_control(rest)) std::abort();
  return 0;
}
