#include "image/output_target.h"

#include <algorithm>

#include "platform/unicode.h"

namespace wh {
namespace {

Err<HelperError> refuse(std::string_view why, const std::string& path) {
  return fail(ErrorCode::kXzInvalid, std::string(why) + path);
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// "X:\" followed by at least one more character.
bool is_drive_file_path(std::string_view rest) {
  return rest.size() > 3 && is_letter(rest[0]) && rest[1] == ':' && rest[2] == '\\';
}

bool has_parent_component(std::string_view rest) {
  std::size_t start = 0;
  while (start <= rest.size()) {
    const std::size_t end = std::min(rest.find('\\', start), rest.size());
    if (rest.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

HelperStatus check_image_source(std::string_view image_path) {
  if (!names_device(image_path)) return {};
  return fail(ErrorCode::kImageMissing, "Image path names a device or volume, not a file: " + std::string(image_path));
}

bool names_device(std::string_view path) {
  std::string normal(path);
  std::replace(normal.begin(), normal.end(), '/', '\\');
  const std::string_view text = normal;
  if (!text.starts_with("\\\\.\\") && !text.starts_with("\\\\?\\") && !text.starts_with("\\??\\")) {
    return false;
  }
  const std::string_view rest = text.substr(4);
  // In "\\.\" paths Windows resolves ".." itself, and "\\.\C:\..\PhysicalDrive1"
  // climbs out of the drive; no file path needs it.
  if (has_parent_component(rest)) return true;
  if (is_drive_file_path(rest)) return false;
  const std::string lower = ascii_lower(rest);
  return !(lower.starts_with("unc\\") && lower.size() > 4);
}

HelperStatus check_output_target(Platform& platform, const std::string& output_path,
                                 Handle& source) {
  if (names_device(output_path)) {
    return refuse("Output path names a device or volume, not a file: ", output_path);
  }
  auto status = platform.file_status(output_path);
  if (!status) return fail(ErrorCode::kXzInvalid, status.error());
  if (!status->has_value()) return {};
  if ((*status)->kind != FileKind::kRegular) {
    return refuse("Output path is not a regular file: ", output_path);
  }
  auto source_identity = source.file_identity();
  if (!source_identity) return fail(ErrorCode::kXzInvalid, source_identity.error());
  if ((*status)->identity == *source_identity) {
    return refuse("Output path is the image being extracted: ", output_path);
  }
  return {};
}

HelperStatus check_opened_output(Handle& output, const std::string& output_path, Handle& source) {
  auto final_path = output.final_path();
  if (!final_path) return fail(ErrorCode::kXzInvalid, final_path.error());
  if (names_device(*final_path)) {
    return refuse("Output path leads to a device or volume, not a file: " + output_path + " -> ", *final_path);
  }
  auto status = output.status();
  if (!status) return fail(ErrorCode::kXzInvalid, status.error());
  if (status->kind != FileKind::kRegular) return refuse("Output path is not a regular file: ", output_path);
  auto source_identity = source.file_identity();
  if (!source_identity) return fail(ErrorCode::kXzInvalid, source_identity.error());
  if (status->identity == *source_identity) return refuse("Output path is the image being extracted: ", output_path);
  if (auto emptied = output.set_end_of_file(0); !emptied) return fail(ErrorCode::kXzInvalid, emptied.error());
  return {};
}

}  // namespace wh
