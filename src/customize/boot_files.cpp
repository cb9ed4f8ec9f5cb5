#include "customize/boot_files.h"

#include <array>
#include <span>

#include "customize/boot_path.h"
#include "platform/unicode.h"
#include "target/volume_locks.h"

namespace wh {

namespace {

// cmdline.txt is one line the firmware reads into a small buffer; a larger
// file on an untrusted image is refused rather than read into memory whole.
constexpr std::size_t kMaxTextFile = 1024 * 1024;

// Beside the file it replaces, so that the rename stays on one volume.
constexpr std::string_view kTemporarySuffix = ".tmp";

HelperStatus write_all(Handle& file, std::string_view contents) {
  auto rest = std::span(reinterpret_cast<const std::uint8_t*>(contents.data()), contents.size());
  while (!rest.empty()) {
    auto written = file.write(rest);
    if (!written) {
      if (written.error().interrupted) continue;
      return fail(ErrorCode::kWriteFailed, written.error());
    }
    if (*written == 0) return fail(ErrorCode::kWriteFailed, "failed to write whole buffer");
    rest = rest.subspan(*written);
  }
  return {};
}

// Open always, cut to nothing if it was there, write, flush; the handle
// closes on every path.
HelperStatus write_whole_file(Platform& platform, const std::string& path, std::string_view contents) {
  auto opened = platform.open_always_write(path);
  if (!opened) return fail(ErrorCode::kWriteFailed, opened.error());
  Handle& file = *opened->handle;
  if (opened->already_existed) {
    if (auto cut = file.set_end_of_file(0); !cut) return fail(ErrorCode::kWriteFailed, cut.error());
  }
  if (auto written = write_all(file, contents); !written) return written;
  if (auto flushed = file.flush(); !flushed) return fail(ErrorCode::kWriteFailed, flushed.error());
  return {};
}

}  // namespace

HelperResult<std::string> resolve_boot_file_path(const std::string& volume, std::string_view relative) {
  if (!is_volume_guid_path(volume) || !is_boot_file_path(relative)) {
    return fail(ErrorCode::kWriteFailed, "Invalid first-boot file path.");
  }
  std::string full = volume;
  for (char c : relative) full.push_back(c == '/' ? '\\' : c);
  return full;
}

HelperStatus write_boot_file(Platform& platform, const TargetIdentity& identity, const std::string& volume,
                             std::string_view relative, std::string_view contents) {
  if (auto proven = prove_boot_volume(platform, identity, volume); !proven) return proven;
  auto path = resolve_boot_file_path(volume, relative);
  if (!path) return Err(std::move(path).error());
  return write_whole_file(platform, *path, contents);
}

HelperResult<std::string> read_boot_text_file(Platform& platform, const std::string& volume,
                                              std::string_view relative) {
  const auto missing = [&](const std::string& reason) {
    return fail(ErrorCode::kWriteFailed, std::string(relative) + " is missing on the boot partition: " + reason);
  };
  auto path = resolve_boot_file_path(volume, relative);
  if (!path) return missing(path.error().message);
  auto file = platform.open_file_read(*path);
  if (!file) return missing(file.error().text());
  std::string text;
  std::array<std::uint8_t, 64 * 1024> buffer{};
  while (true) {
    auto read = (*file)->read(buffer);
    if (!read) {
      if (read.error().interrupted) continue;
      return missing(read.error().text());
    }
    if (*read == 0) break;
    if (*read > kMaxTextFile - text.size()) return missing("the file is larger than 1 MiB");
    text.append(reinterpret_cast<const char*>(buffer.data()), *read);
  }
  if (!is_valid_utf8(text)) return missing("stream did not contain valid UTF-8");
  return text;
}

HelperStatus replace_boot_file(Platform& platform, const TargetIdentity& identity, const std::string& volume,
                               std::string_view relative, std::string_view contents) {
  if (auto proven = prove_boot_volume(platform, identity, volume); !proven) return proven;
  auto target = resolve_boot_file_path(volume, relative);
  if (!target) return Err(std::move(target).error());
  auto temporary = resolve_boot_file_path(volume, std::string(relative) + std::string(kTemporarySuffix));
  if (!temporary) return Err(std::move(temporary).error());
  if (auto written = write_whole_file(platform, *temporary, contents); !written) {
    (void)platform.delete_file(*temporary);
    return written;
  }
  // A volume that no longer proves to be the target's gets no further
  // change, not even the removal of the temporary file.
  if (auto proven = prove_boot_volume(platform, identity, volume); !proven) return proven;
  if (auto replaced = platform.replace_file(*temporary, *target); !replaced) {
    (void)platform.delete_file(*temporary);
    return fail(ErrorCode::kWriteFailed, replaced.error());
  }
  return {};
}

}  // namespace wh
