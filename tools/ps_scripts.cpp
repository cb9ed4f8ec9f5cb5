#include "ps_scripts.h"

#include <vector>

#include "ps_literal.h"

namespace wh::tools {
namespace {

constexpr std::string_view kElevationCheck =
    "([Security.Principal.WindowsPrincipal] [Security.Principal.WindowsIdentity]::GetCurrent())."
    "IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)";
constexpr std::string_view kProtectedDisks = "Get-Disk | Select-Object Number,IsSystem,IsBoot | ConvertTo-Json -Compress";
constexpr std::string_view kDiskListing =
    "$disks = Get-Disk | Select-Object Number,FriendlyName,SerialNumber,Size,IsReadOnly,BusType,IsSystem,IsBoot; "
    "$disks | ConvertTo-Json -Compress";

constexpr std::string_view kStop = "$ErrorActionPreference = 'Stop'; ";

// The revalidation fragment, around its slots.
constexpr std::string_view kFragment[] = {
    "$disk = Get-Disk -Number ",
    " -ErrorAction Stop; if ([uint64]$disk.Size -ne ",
    ") { throw ('Target capacity changed before ' + ",
    ") }; $expectedSerial = ",
    "; if ($expectedSerial) { $actualSerial = ([string]$disk.SerialNumber -replace '[^a-zA-Z0-9]', '')."
    "ToLowerInvariant(); $normalizedExpectedSerial = ([string]$expectedSerial -replace '[^a-zA-Z0-9]', '')."
    "ToLowerInvariant(); if ($actualSerial -ne $normalizedExpectedSerial) { throw ('Target serial changed before ' + ",
    ") } }",
};

// Removing letters and dismounting, as prepare_disk and detach_target both do
// it for every partition, then the disk taken offline.
#define WH_RELEASE_PARTITIONS                                                                              \
  "{ if ($p.DriveLetter -and $p.DriveLetter -ne [char]0) { $letter = [string]$p.DriveLetter; $path = $letter " \
  "+ ':\\'; Remove-PartitionAccessPath -InputObject $p -AccessPath $path -ErrorAction SilentlyContinue; try { " \
  "& mountvol.exe ($letter + ':') /P | Out-Null } catch {} } $vol = Get-Volume -Partition $p -ErrorAction "     \
  "SilentlyContinue; if ($vol) { Dismount-Volume -InputObject $vol -Force -ErrorAction SilentlyContinue } }; "  \
  "try { Set-Disk -InputObject $disk -IsOffline $true -ErrorAction SilentlyContinue } catch {}; "              \
  "$ErrorActionPreference = 'Stop'"

constexpr std::string_view kPrepareTail =
    "; try { Set-Disk -InputObject $disk -IsReadOnly $false -ErrorAction Stop } catch { if ($_.Exception.Message "
    "-notmatch 'Not Supported|Access is denied|Access Denied') { throw } }; $ErrorActionPreference = 'Continue'; "
    "Import-Module Storage -ErrorAction SilentlyContinue; $partitions = @(Get-Partition -Disk $disk -ErrorAction "
    "SilentlyContinue); foreach ($p in $partitions) " WH_RELEASE_PARTITIONS;

constexpr std::string_view kDetachTail =
    "; $ErrorActionPreference = 'Continue'; Import-Module Storage -ErrorAction SilentlyContinue; $partitions = "
    "@(Get-Partition -Disk $disk -ErrorAction SilentlyContinue); $letters = @(); foreach ($p in $partitions) { if "
    "($p.DriveLetter -and $p.DriveLetter -ne [char]0) { $letters += [string]$p.DriveLetter } }; try { $shell = "
    "New-Object -ComObject Shell.Application; $computer = $shell.NameSpace(17); foreach ($L in $letters) { try { "
    "$item = $computer.ParseName(($L + ':\\')); if ($item) { $item.InvokeVerb('Eject') } } catch {} } } catch {}; "
    "Start-Sleep -Milliseconds 500; foreach ($p in @(Get-Partition -Disk $disk -ErrorAction SilentlyContinue)) "
    WH_RELEASE_PARTITIONS;

constexpr std::string_view kOnlineWritable =
    "; try { Set-Disk -InputObject $disk -IsOffline $false -ErrorAction SilentlyContinue } catch {}; try { "
    "Set-Disk -InputObject $disk -IsReadOnly $false -ErrorAction SilentlyContinue } catch {}";

constexpr std::string_view kReformatBeforeLabel =
    "; Clear-Disk -InputObject $disk -RemoveData -RemoveOEM -Confirm:$false -ErrorAction Stop; Initialize-Disk "
    "-InputObject $disk -PartitionStyle MBR -ErrorAction Stop; $partition = New-Partition -InputObject $disk "
    "-UseMaximumSize -AssignDriveLetter -ErrorAction Stop; Format-Volume -Partition $partition -FileSystem exFAT "
    "-NewFileSystemLabel ";
constexpr std::string_view kReformatAfterLabel = " -Confirm:$false -Force -ErrorAction Stop | Out-Null";

// The boot-volume script after its fragment: the disk online and writable,
// partition 1 given a drive letter, and its volume's record printed. The
// pattern is a single-quoted literal, so its backslashes are PowerShell's own.
constexpr std::string_view kLocateTail =
    "; Set-Disk -InputObject $disk -IsOffline $false -ErrorAction SilentlyContinue; Set-Disk -InputObject $disk "
    "-IsReadOnly $false -ErrorAction SilentlyContinue; Start-Sleep -Milliseconds 750; $p = Get-Partition -Disk "
    "$disk -ErrorAction Stop | Where-Object { $_.PartitionNumber -eq 1 } | Select-Object -First 1; if (-not $p) { "
    "throw 'Boot partition 1 was not found on the selected disk.' }; if (-not $p.DriveLetter -or $p.DriveLetter "
    "-eq [char]0) { Add-PartitionAccessPath -InputObject $p -AssignDriveLetter -ErrorAction Stop; Start-Sleep "
    "-Milliseconds 500; }; $p = Get-Partition -Disk $disk -ErrorAction Stop | Where-Object { $_.PartitionNumber "
    "-eq 1 } | Select-Object -First 1; if (-not $p) { throw 'Boot partition 1 was not found on the selected "
    "disk.' }; $volume = Get-Volume -Partition $p -ErrorAction Stop; $volumeGuidPath = [string]$volume.UniqueId; "
    "if ($volumeGuidPath -notmatch " R"('^\\\\\?\\Volume\{[0-9A-Fa-f-]+\}\\$')" ") { throw 'Boot partition 1 "
    "did not expose a valid volume GUID path.' }; [pscustomobject]@{ DiskNumber = [uint32]$disk.Number; "
    "PartitionNumber = [uint32]$p.PartitionNumber; DriveLetter = [string]$p.DriveLetter; VolumeGuidPath = "
    "$volumeGuidPath } | ConvertTo-Json -Compress";

// Walks a script from the start; every step fails once the text departs.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}
  bool text(std::string_view expected) {
    if (text_.substr(at_, expected.size()) != expected) return false;
    at_ += expected.size();
    return true;
  }
  std::optional<std::uint64_t> number(std::uint64_t max) {
    std::uint64_t value = 0;
    const std::size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
      const auto digit = static_cast<std::uint64_t>(text_[at_] - '0');
      if (value > (max - digit) / 10) return std::nullopt;
      value = value * 10 + digit;
      ++at_;
    }
    if (at_ == start) return std::nullopt;
    return value;
  }
  std::optional<std::string> literal() {
    auto read = read_single_quoted(text_, at_);
    if (!read) return std::nullopt;
    at_ = read->end;
    return std::move(read->value);
  }
  bool done() const { return at_ == text_.size(); }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

// "$ErrorActionPreference = 'Stop'; " and the fragment, into `script`.
bool read_fragment(Reader& reader, Script& script) {
  if (!reader.text(kStop) || !reader.text(kFragment[0])) return false;
  auto disk = reader.number(UINT32_MAX);
  if (!disk || !reader.text(kFragment[1])) return false;
  auto size = reader.number(UINT64_MAX);
  if (!size || !reader.text(kFragment[2])) return false;
  auto step = reader.literal();
  if (!step || !reader.text(kFragment[3])) return false;
  if (!reader.text("$null")) {
    script.serial = reader.literal();
    if (!script.serial) return false;
  }
  if (!reader.text(kFragment[4])) return false;
  auto again = reader.literal();
  if (!again || *again != *step || !reader.text(kFragment[5])) return false;
  script.disk = static_cast<std::uint32_t>(*disk);
  script.size = *size;
  script.step = std::move(*step);
  return true;
}

}  // namespace

std::optional<Script> recognise_script(std::string_view text) {
  Script script;
  const auto plain = [&](ScriptKind kind) {
    script.kind = kind;
    return script;
  };
  if (text == kElevationCheck) return plain(ScriptKind::kElevationCheck);
  if (text == kProtectedDisks) return plain(ScriptKind::kProtectedDisks);
  if (text == kDiskListing) return plain(ScriptKind::kDiskListing);
  Reader reader(text);
  if (!read_fragment(reader, script)) return std::nullopt;
  const struct {
    ScriptKind kind;
    const char* step;
    std::vector<std::string_view> tail;
  } disk_scripts[] = {
      {ScriptKind::kPrepare, "preparation", {kPrepareTail}},
      {ScriptKind::kDetach, "detachment", {kDetachTail}},
      {ScriptKind::kFinalize, "finalization", {kOnlineWritable}},
      {ScriptKind::kReformat, "reformat", {kOnlineWritable, kReformatBeforeLabel}},
      {ScriptKind::kLocateBootVolume, "customization", {kLocateTail}},
  };
  for (const auto& candidate : disk_scripts) {
    if (script.step != candidate.step) continue;
    Reader tail = reader;
    bool matches = true;
    for (std::string_view piece : candidate.tail) matches = matches && tail.text(piece);
    if (!matches) continue;
    if (candidate.kind == ScriptKind::kReformat) {
      auto label = tail.literal();
      if (!label || !tail.text(kReformatAfterLabel)) continue;
      script.label = std::move(*label);
    }
    if (!tail.done()) continue;
    script.kind = candidate.kind;
    return script;
  }
  return std::nullopt;
}

const char* script_name(ScriptKind kind) {
  switch (kind) {
    case ScriptKind::kElevationCheck: return "elevationCheck";
    case ScriptKind::kProtectedDisks: return "protectedDisks";
    case ScriptKind::kDiskListing: return "diskListing";
    case ScriptKind::kPrepare: return "prepare_disk";
    case ScriptKind::kDetach: return "detach_target";
    case ScriptKind::kFinalize: return "finalize_disk";
    case ScriptKind::kReformat: return "reformat_disk";
    case ScriptKind::kLocateBootVolume: return "locate_boot_volume";
  }
  return "unknown";
}

}  // namespace wh::tools
