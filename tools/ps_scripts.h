// The PowerShell scripts the helper sends, as the stand-in recognises them:
// the disk scripts are rebuilt here from their documented wording, piece by
// piece, independently of the helper's own script builder, so that a script
// that differs by one character is not recognised (and fails, as an unknown
// script does).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wh::tools {

enum class ScriptKind {
  kElevationCheck,
  kProtectedDisks,  // Number, IsSystem, IsBoot of every disk
  kDiskListing,     // the full listing
  kPrepare,         // prepare_disk
  kDetach,          // detach_target
  kFinalize,        // finalize_disk
  kReformat,        // reformat_disk
  kLocateBootVolume,  // apply_customization's boot-volume script
};

struct Script {
  ScriptKind kind = ScriptKind::kElevationCheck;
  // The disk scripts' revalidation fragment: Get-Disk -Number, the expected
  // size, the expected serial (nullopt for $null) and the step name.
  std::uint32_t disk = 0;
  std::uint64_t size = 0;
  std::optional<std::string> serial;
  std::string step;
  std::string label;  // reformat only
};

// What `script` is, or nullopt for any other text.
std::optional<Script> recognise_script(std::string_view script);

// The name of a kind in the event log: "elevationCheck", "prepare_disk", ...
const char* script_name(ScriptKind kind);

}  // namespace wh::tools
