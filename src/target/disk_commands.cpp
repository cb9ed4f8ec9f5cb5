#include "target/disk_commands.h"

#include "frame/powershell_runner.h"
#include "frame/payload_fields.h"
#include "platform/unicode.h"
#include "target/ps_script.h"
#include "target/volume_locks.h"

namespace wh {

using nlohmann::json;

namespace {

// Per partition: removes its drive letter and runs mountvol /P on it, then
// force-dismounts its volume; then the disk goes offline. Prepare and
// detach end alike.
constexpr std::string_view kReleasePartitions =
    "if ($p.DriveLetter -and $p.DriveLetter -ne [char]0) { $letter = [string]$p.DriveLetter; $path = $letter + "
    "':\\'; Remove-PartitionAccessPath -InputObject $p -AccessPath $path -ErrorAction SilentlyContinue; try { & "
    "mountvol.exe ($letter + ':') /P | Out-Null } catch {} } $vol = Get-Volume -Partition $p -ErrorAction "
    "SilentlyContinue; if ($vol) { Dismount-Volume -InputObject $vol -Force -ErrorAction SilentlyContinue } }; "
    "try { Set-Disk -InputObject $disk -IsOffline $true -ErrorAction SilentlyContinue } catch {}; "
    "$ErrorActionPreference = 'Stop'";

constexpr std::string_view kPrepareHead =
    "; try { Set-Disk -InputObject $disk -IsReadOnly $false -ErrorAction Stop } catch { if "
    "($_.Exception.Message -notmatch 'Not Supported|Access is denied|Access Denied') { throw } }; "
    "$ErrorActionPreference = 'Continue'; Import-Module Storage -ErrorAction SilentlyContinue; $partitions = "
    "@(Get-Partition -Disk $disk -ErrorAction SilentlyContinue); foreach ($p in $partitions) { ";

constexpr std::string_view kDetachHead =
    "; $ErrorActionPreference = 'Continue'; Import-Module Storage -ErrorAction SilentlyContinue; $partitions = "
    "@(Get-Partition -Disk $disk -ErrorAction SilentlyContinue); $letters = @(); foreach ($p in $partitions) { if "
    "($p.DriveLetter -and $p.DriveLetter -ne [char]0) { $letters += [string]$p.DriveLetter } }; try { $shell = "
    "New-Object -ComObject Shell.Application; $computer = $shell.NameSpace(17); foreach ($L in $letters) { try { "
    "$item = $computer.ParseName(($L + ':\\')); if ($item) { $item.InvokeVerb('Eject') } } catch {} } } catch {}; "
    "Start-Sleep -Milliseconds 500; foreach ($p in @(Get-Partition -Disk $disk -ErrorAction SilentlyContinue)) { ";

constexpr std::string_view kFinalizeTail =
    "; try { Set-Disk -InputObject $disk -IsOffline $false -ErrorAction SilentlyContinue } catch {}; try { "
    "Set-Disk -InputObject $disk -IsReadOnly $false -ErrorAction SilentlyContinue } catch {}";

constexpr std::string_view kReformatHead =
    "; try { Set-Disk -InputObject $disk -IsOffline $false -ErrorAction SilentlyContinue } catch {}; try { "
    "Set-Disk -InputObject $disk -IsReadOnly $false -ErrorAction SilentlyContinue } catch {}; Clear-Disk "
    "-InputObject $disk -RemoveData -RemoveOEM -Confirm:$false -ErrorAction Stop; Initialize-Disk -InputObject "
    "$disk -PartitionStyle MBR -ErrorAction Stop; $partition = New-Partition -InputObject $disk -UseMaximumSize "
    "-AssignDriveLetter -ErrorAction Stop; Format-Volume -Partition $partition -FileSystem exFAT "
    "-NewFileSystemLabel ";
constexpr std::string_view kReformatTail = " -Confirm:$false -Force -ErrorAction Stop | Out-Null";

constexpr const char* kDefaultLabel = "TovrinSD";
constexpr const char* kUnparsedNumber = "Could not parse PhysicalDrive number from ";

// The target path and its drive number, if it has one (each command answers
// a path without one in its own way).
struct Target {
  std::string path;
  std::optional<std::uint32_t> number;
};

HelperResult<Target> resolve(const json& payload) {
  auto path = resolve_target_path(payload);
  if (!path) return Err(std::move(path).error());
  return Target{*path, parse_drive_number(*path)};
}

HelperResult<std::string> run_disk_script(CommandContext& context, const TargetIdentity& identity,
                                          std::string_view step, std::string_view tail) {
  return run_powershell(context.platform, build_disk_script(identity, step, tail));
}

// The common course of prepare, finalize and reformat: the target path, its
// drive number (or UNKNOWN `unparsed` and the path), the identity proven,
// then the script. Answers the target path.
HelperResult<std::string> prove_and_run(CommandContext& context, std::string_view step, std::string_view unparsed,
                                        std::string_view tail) {
  const json& payload = context.request.payload;
  auto target = resolve(payload);
  if (!target) return Err(std::move(target).error());
  if (!target->number) return fail(ErrorCode::kUnknown, std::string(unparsed) + target->path);
  auto identity = validate_expected_identity(context.platform, payload, *target->number, step);
  if (!identity) return Err(std::move(identity).error());
  if (auto ran = run_disk_script(context, *identity, step, tail); !ran) return Err(std::move(ran).error());
  return target->path;
}

}  // namespace

std::string detach_script_tail() { return std::string(kDetachHead) + std::string(kReleasePartitions); }

std::string build_disk_script(const TargetIdentity& identity, std::string_view step, std::string_view tail) {
  return "$ErrorActionPreference = 'Stop'; " + build_revalidation_script(identity, step) + std::string(tail);
}

HelperResult<json> handle_prepare_disk(CommandContext& context) {
  auto path = prove_and_run(context, "preparation", "Unable to parse drive number from ",
                            std::string(kPrepareHead) + std::string(kReleasePartitions));
  if (!path) return Err(std::move(path).error());
  return json{{"osDevicePath", *path}, {"prepared", true}};
}

HelperResult<json> handle_detach_target(CommandContext& context) {
  const json& payload = context.request.payload;
  auto target = resolve(payload);
  if (!target) return Err(std::move(target).error());
  if (!target->number) {
    return json{{"detached", true}, {"warnings", json::array({kUnparsedNumber + target->path})}};
  }
  auto identity = validate_expected_identity(context.platform, payload, *target->number, "detachment");
  if (!identity) return Err(std::move(identity).error());
  json warnings = json::array();
  if (auto ran = run_disk_script(context, *identity, "detachment", detach_script_tail()); !ran) {
    warnings.push_back("PowerShell detach step (" + std::string(error_code_name(ran.error().code)) +
                       "): " + ran.error().message);
  }
  auto dismounted = dismount_target_volumes(context.platform, *identity);
  if (!dismounted) return fail(ErrorCode::kDeviceNotRemovable, std::move(dismounted).error());
  for (std::string& warning : *dismounted) warnings.push_back(std::move(warning));
  return json{{"detached", true}, {"warnings", std::move(warnings)}};
}

HelperResult<json> handle_finalize_disk(CommandContext& context) {
  auto path = prove_and_run(context, "finalization", kUnparsedNumber, kFinalizeTail);
  if (!path) return Err(std::move(path).error());
  return json{{"finalized", true}};
}

HelperResult<json> handle_reformat_disk(CommandContext& context) {
  const std::string label = text_or(context.request.payload, "volumeLabel", kDefaultLabel);
  // A NUL would end PowerShell's command line inside the quoted label.
  if (has_control_character(label)) {
    return fail(ErrorCode::kUnknown, "Invalid volumeLabel payload field: it holds a control character; reformat "
                                     "was not started.");
  }
  const std::string tail = std::string(kReformatHead) + ps_quote(label) + std::string(kReformatTail);
  auto path = prove_and_run(context, "reformat", kUnparsedNumber, tail);
  if (!path) return Err(std::move(path).error());
  return json{{"reformatted", true}};
}

}  // namespace wh
