// What every handle of the simulated Windows shares (host files, raw drives
// backed by host files, and volumes): each one answers only what its Windows
// counterpart answers; the rest fails with ERROR_INVALID_FUNCTION. Handles name their
// drive or volume by number or name, never by reference: the machine is read
// again after every process the helper runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "platform/sim/sim_machine.h"
#include "platform/sim/sim_sharing.h"

namespace wh::sim {

class SimPlatform;
struct VolumeUse;

// Shared by every simulated handle: the descriptor-less operations fail.
class SimHandle : public Handle {
 public:
  // `mode` is the open mode faults are matched against ("query", "fileRead", ...).
  SimHandle(SimPlatform& platform, std::string path, std::string mode)
      : platform_(platform), path_(std::move(path)), mode_(std::move(mode)) {}
  // Logs the close (CloseHandle), then lets Windows mount what waited for it.
  // Its sharing lock goes last, so that in the event log no other process's
  // handle is opened before this one's close.
  ~SimHandle() override;

  // Keeps `lock` (the drive's share mode, the volume's lock) until the close.
  void hold(SharingLock lock) { sharing_ = std::move(lock); }

  OsResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  OsResult<std::size_t> write(std::span<const std::uint8_t> data) override;
  OsStatus seek(std::uint64_t offset) override;
  OsStatus set_end_of_file(std::uint64_t length) override;
  OsStatus set_sparse() override;
  OsStatus flush() override;
  OsResult<std::uint64_t> file_size() override;
  OsResult<std::uint64_t> disk_length() override;
  OsResult<Bytes> storage_descriptor() override;
  OsResult<std::uint64_t> disk_attributes() override;
  OsResult<std::vector<std::uint32_t>> volume_disk_extents() override;
  OsStatus update_disk_properties() override;
  OsStatus lock_volume() override;
  OsStatus dismount_volume() override;
  OsResult<FileIdentity> file_identity() override;
  OsResult<VolumeInformation> volume_information() override;
  // A drive or volume is a device: kOther. The rest fail as above.
  OsResult<FileStatus> status() override;
  OsResult<std::string> final_path() override;
  OsResult<bool> user_may_change() override;
  OsResult<std::vector<std::string>> virtual_disk_hosts() override;
  OsResult<std::uint32_t> logical_sector_bytes() override;

 protected:
  // The fault for `operation` on this handle's path and mode, or the
  // disconnection of a device that has disappeared since it was opened.
  std::optional<OsError> check(std::string_view operation);
  // How many of `wanted` bytes a read or write may move, as the injected
  // faults shape it (SimPlatform::transfer_allowance); an error when one
  // fails the call.
  OsResult<std::size_t> allowance(std::string_view operation, std::size_t wanted,
                                  std::uint64_t moved_so_far);
  // Appends `event` with this handle's path to the event log.
  void log(nlohmann::json event) const;
  // Logs a read or write of `wanted` bytes at `offset`, with `more` members,
  // and passes its result on.
  OsResult<std::size_t> logged(const char* operation, std::uint64_t offset, std::size_t wanted,
                               OsResult<std::size_t> result, nlohmann::json more = nlohmann::json::object()) const;

  SimPlatform& platform_;
  std::string path_;  // as opened
  std::string mode_;

 private:
  SharingLock sharing_;
};

}  // namespace wh::sim
