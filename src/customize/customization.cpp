#include "customize/customization.h"

#include <string>
#include <vector>

#include "customize/boot_files.h"
#include "customize/boot_volume.h"
#include "customize/cmdline.h"
#include "frame/powershell_runner.h"
#include "frame/payload_fields.h"
#include "target/disk_commands.h"
#include "target/volume_locks.h"

namespace wh {

using nlohmann::json;

namespace {

constexpr const char* kCmdline = "cmdline.txt";

struct BootFile {
  std::string path;
  std::string contents;
};

struct Customization {
  std::vector<BootFile> files;
  std::string cmdline_append;  // empty: no cmdline step
};

// Elements without a string `path` are skipped; `contents` other than a
// string count as empty.
Customization read_request(const json& payload) {
  Customization request;
  if (const json* files = payload_member(payload, "files"); files != nullptr && files->is_array()) {
    for (const json& element : *files) {
      const json* path = payload_member(element, "path");
      if (path == nullptr || !path->is_string()) continue;
      request.files.push_back({path->get<std::string>(), text_or(element, "contents", "")});
    }
  }
  request.cmdline_append = text_or(payload, "cmdlineAppend", "");
  return request;
}

HelperError prefixed(std::string_view prefix, HelperError error) {
  error.message = std::string(prefix) + ": " + error.message;
  return error;
}

HelperStatus apply_cmdline(Platform& platform, const TargetIdentity& identity, const std::string& volume,
                           std::string_view addition) {
  if (auto proven = prove_boot_volume(platform, identity, volume); !proven) return proven;
  auto existing = read_boot_text_file(platform, volume, kCmdline);
  if (!existing) return Err(std::move(existing).error());
  const std::string merged = merge_cmdline(*existing, addition);
  if (auto replaced = replace_boot_file(platform, identity, volume, kCmdline, merged); !replaced) {
    return Err(prefixed(kCmdline, std::move(replaced).error()));
  }
  return {};
}

// A refusal before the first file says that nothing was written; PowerShell's
// own words (UNKNOWN, TOOL_MISSING) are passed on as they are.
HelperError before_first_file(HelperError error) {
  if (error.code == ErrorCode::kUnknown || error.code == ErrorCode::kToolMissing) return error;
  return nothing_written(std::move(error));
}

// Locate, prove, write the files in order, then the command line.
HelperResult<json> customize(Platform& platform, const TargetIdentity& identity, const Customization& request) {
  auto volume = locate_boot_volume(platform, identity);
  if (!volume) return Err(before_first_file(std::move(volume).error()));
  if (auto proven = prove_boot_volume(platform, identity, *volume); !proven) {
    return Err(before_first_file(std::move(proven).error()));
  }
  json written = json::array();
  for (const BootFile& file : request.files) {
    if (auto done = write_boot_file(platform, identity, *volume, file.path, file.contents); !done) {
      return Err(prefixed(file.path, std::move(done).error()));
    }
    written.push_back(file.path);
  }
  if (!request.cmdline_append.empty()) {
    if (auto done = apply_cmdline(platform, identity, *volume, request.cmdline_append); !done) {
      return Err(std::move(done).error());
    }
    written.push_back(kCmdline);
  }
  return json{{"applied", true}, {"volumeGuidPath", *volume}, {"files", std::move(written)}};
}

// The disk goes offline again the way detach_target takes it, after the
// identity is proven once more.
HelperStatus release(Platform& platform, const json& payload, std::uint32_t drive_number) {
  auto identity = validate_expected_identity(platform, payload, drive_number, "customization release");
  if (!identity) return Err(std::move(identity).error());
  auto ran = run_powershell(platform, build_disk_script(*identity, "detachment", detach_script_tail()));
  if (!ran) return Err(std::move(ran).error());
  return {};
}

}  // namespace

HelperResult<json> handle_apply_customization(CommandContext& context) {
  const json& payload = context.request.payload;
  auto path = resolve_target_path(payload);
  if (!path) return Err(std::move(path).error());
  const auto number = parse_drive_number(*path);
  if (!number) return fail(ErrorCode::kUnknown, "Could not parse PhysicalDrive number from " + *path);
  auto identity = validate_expected_identity(context.platform, payload, *number, "customization");
  if (!identity) return Err(std::move(identity).error());
  auto outcome = customize(context.platform, *identity, read_request(payload));
  // The disk was brought online (or may have been): release it whatever
  // happened. A release failure only matters when nothing failed before it.
  auto released = release(context.platform, payload, *number);
  if (outcome && !released) return Err(std::move(released).error());
  return outcome;
}

}  // namespace wh
