// The disk scripts the helper sends, written out once more for the tests of
// the PowerShell stand-in: the stand-in must recognise exactly these texts.
#pragma once

#include <cstdint>
#include <string>

namespace wh::testing {

// A single-quoted PowerShell literal with its quotes doubled.
inline std::string ps_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// "$ErrorActionPreference = 'Stop'; " and the revalidation fragment; `serial`
// is a PowerShell expression ("$null" or a literal).
inline std::string stop_and_revalidate(std::uint32_t disk, std::uint64_t size, const std::string& step_literal,
                                       const std::string& serial) {
  return "$ErrorActionPreference = 'Stop'; $disk = Get-Disk -Number " + std::to_string(disk) +
         " -ErrorAction Stop; if ([uint64]$disk.Size -ne " + std::to_string(size) +
         ") { throw ('Target capacity changed before ' + " + step_literal + ") }; $expectedSerial = " + serial +
         "; if ($expectedSerial) { $actualSerial = ([string]$disk.SerialNumber -replace '[^a-zA-Z0-9]', '')"
         ".ToLowerInvariant(); $normalizedExpectedSerial = ([string]$expectedSerial -replace '[^a-zA-Z0-9]', '')"
         ".ToLowerInvariant(); if ($actualSerial -ne $normalizedExpectedSerial) { throw ('Target serial changed "
         "before ' + " + step_literal + ") } }";
}

inline const std::string kReleaseLoop =
    "{ if ($p.DriveLetter -and $p.DriveLetter -ne [char]0) { $letter = [string]$p.DriveLetter; $path = $letter + "
    "':\\'; Remove-PartitionAccessPath -InputObject $p -AccessPath $path -ErrorAction SilentlyContinue; try { & "
    "mountvol.exe ($letter + ':') /P | Out-Null } catch {} } $vol = Get-Volume -Partition $p -ErrorAction "
    "SilentlyContinue; if ($vol) { Dismount-Volume -InputObject $vol -Force -ErrorAction SilentlyContinue } }; try "
    "{ Set-Disk -InputObject $disk -IsOffline $true -ErrorAction SilentlyContinue } catch {}; $ErrorActionPreference "
    "= 'Stop'";

inline const std::string kPrepareTail =
    "; try { Set-Disk -InputObject $disk -IsReadOnly $false -ErrorAction Stop } catch { if ($_.Exception.Message "
    "-notmatch 'Not Supported|Access is denied|Access Denied') { throw } }; $ErrorActionPreference = 'Continue'; "
    "Import-Module Storage -ErrorAction SilentlyContinue; $partitions = @(Get-Partition -Disk $disk -ErrorAction "
    "SilentlyContinue); foreach ($p in $partitions) " + kReleaseLoop;

inline const std::string kDetachTail =
    "; $ErrorActionPreference = 'Continue'; Import-Module Storage -ErrorAction SilentlyContinue; $partitions = "
    "@(Get-Partition -Disk $disk -ErrorAction SilentlyContinue); $letters = @(); foreach ($p in $partitions) { if "
    "($p.DriveLetter -and $p.DriveLetter -ne [char]0) { $letters += [string]$p.DriveLetter } }; try { $shell = "
    "New-Object -ComObject Shell.Application; $computer = $shell.NameSpace(17); foreach ($L in $letters) { try { "
    "$item = $computer.ParseName(($L + ':\\')); if ($item) { $item.InvokeVerb('Eject') } } catch {} } } catch {}; "
    "Start-Sleep -Milliseconds 500; foreach ($p in @(Get-Partition -Disk $disk -ErrorAction SilentlyContinue)) " +
    kReleaseLoop;

inline const std::string kFinalizeTail =
    "; try { Set-Disk -InputObject $disk -IsOffline $false -ErrorAction SilentlyContinue } catch {}; try { Set-Disk "
    "-InputObject $disk -IsReadOnly $false -ErrorAction SilentlyContinue } catch {}";

// The reformat tail around the label literal.
inline std::string reformat_tail(const std::string& label_literal) {
  return kFinalizeTail +
         "; Clear-Disk -InputObject $disk -RemoveData -RemoveOEM -Confirm:$false -ErrorAction Stop; Initialize-Disk "
         "-InputObject $disk -PartitionStyle MBR -ErrorAction Stop; $partition = New-Partition -InputObject $disk "
         "-UseMaximumSize -AssignDriveLetter -ErrorAction Stop; Format-Volume -Partition $partition -FileSystem "
         "exFAT -NewFileSystemLabel " +
         label_literal + " -Confirm:$false -Force -ErrorAction Stop | Out-Null";
}

}  // namespace wh::testing
