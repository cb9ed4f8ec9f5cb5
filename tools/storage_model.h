// A small model of Windows' Storage cmdlets over the simulated machine, for
// exactly the scripts the helper sends: Get-Disk's view of the drives, the
// revalidation fragment, and the effects of the four disk scripts on
// machine.json. Failures of single cmdlets come from the machine's
// "powershell.cmdletFailures"; each script's own error handling decides
// whether they stop it.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_machine.h"
#include "ps_scripts.h"

namespace wh::tools {

// What powershell.exe ends with.
struct Outcome {
  int exit_code = 0;
  std::string standard_output;
  std::string standard_error;
};

// Every Get-Disk member of `drive`: those derived from the drive, with the
// drive's "getDisk" members in their place where given. IsSystem is also
// true for the disk of a volume with `systemPartition`, IsBoot for the disk
// of the Windows volume (MSFT_Disk: "contains the system partition", "the
// boot partition"), so that they agree with what the helper finds itself.
nlohmann::ordered_json get_disk(const sim::SimMachine& machine, const sim::SimDrive& drive);

class StorageModel {
 public:
  explicit StorageModel(sim::SimMachine& machine) : machine_(machine) {}

  // Runs a recognised script; the machine is changed in memory (the caller
  // saves it) and every effect is appended to the event log.
  Outcome run(const Script& script);

 private:
  Outcome listing(const Script& script);
  // The fragment: the disk, or the failure that ends the script.
  std::optional<Outcome> revalidate(const Script& script, sim::SimDrive*& drive);
  void prepare(sim::SimDrive& drive, Outcome& outcome);
  void detach(sim::SimDrive& drive);
  // Letters removed and volumes force-dismounted, as the shared loop of
  // prepare and detach does it, then the disk offline.
  void release_partitions(sim::SimDrive& drive);
  void bring_online_writable(sim::SimDrive& drive);
  void reformat(sim::SimDrive& drive, const std::string& label, Outcome& outcome);
  // apply_customization's boot-volume script (boot_volume_model.cpp).
  void locate_boot_volume(sim::SimDrive& drive, Outcome& outcome);
  // Windows mounts a volume: its file system is read from its boot sector and
  // a FAT volume's files are extracted into its directory.
  void mount(sim::SimVolume& volume, std::uint32_t disk);
  // Every volume of a disk that came online.
  void mount_disk_volumes(sim::SimDrive& drive);
  // The volume's directory written back into its FAT, before a dismount.
  void save_volume_files(sim::SimVolume& volume);

  // The message of the failure configured for `cmdlet` (with `parameter`),
  // if any.
  std::optional<std::string> failure(std::string_view cmdlet, std::string_view parameter = "") const;
  void effect(const std::string& name, std::uint32_t disk, nlohmann::json more = nlohmann::json::object()) const;
  void dismount(sim::SimVolume& volume, std::uint32_t disk);

  sim::SimMachine& machine_;
};

// "<cmdlet> : <message>" on standard error, exit code 1: a terminating error.
Outcome stopped(std::string_view cmdlet, std::string_view message);

}  // namespace wh::tools
