#include "platform/sim/sim_handle.h"

#include "platform/sim/sim_errors.h"
#include "platform/sim/sim_platform.h"

namespace wh::sim {
namespace {

OsError invalid_function() { return win32_error(kErrorInvalidFunction); }

}  // namespace

// --- SimHandle: what a handle of the wrong kind answers.

OsResult<std::size_t> SimHandle::read(std::span<std::uint8_t>) { return Err(invalid_function()); }
OsResult<std::size_t> SimHandle::write(std::span<const std::uint8_t>) { return Err(invalid_function()); }
OsStatus SimHandle::seek(std::uint64_t) { return Err(invalid_function()); }
OsStatus SimHandle::set_end_of_file(std::uint64_t) { return Err(invalid_function()); }
OsStatus SimHandle::set_sparse() { return Err(invalid_function()); }
OsStatus SimHandle::flush() { return Err(invalid_function()); }
OsResult<std::uint64_t> SimHandle::file_size() { return Err(invalid_function()); }
OsResult<std::uint64_t> SimHandle::disk_length() { return Err(invalid_function()); }
OsResult<Bytes> SimHandle::storage_descriptor() { return Err(invalid_function()); }
OsResult<std::uint64_t> SimHandle::disk_attributes() { return Err(invalid_function()); }
OsResult<std::vector<std::uint32_t>> SimHandle::volume_disk_extents() { return Err(invalid_function()); }
OsStatus SimHandle::update_disk_properties() { return Err(invalid_function()); }
OsStatus SimHandle::lock_volume() { return Err(invalid_function()); }
OsStatus SimHandle::dismount_volume() { return Err(invalid_function()); }
OsResult<FileIdentity> SimHandle::file_identity() { return Err(invalid_function()); }
OsResult<VolumeInformation> SimHandle::volume_information() { return Err(invalid_function()); }
OsResult<FileStatus> SimHandle::status() { return FileStatus{}; }
OsResult<std::string> SimHandle::final_path() { return Err(invalid_function()); }
OsResult<bool> SimHandle::user_may_change() { return Err(invalid_function()); }
OsResult<std::vector<std::string>> SimHandle::virtual_disk_hosts() { return Err(invalid_function()); }
OsResult<std::uint32_t> SimHandle::logical_sector_bytes() { return Err(invalid_function()); }

SimHandle::~SimHandle() {
  log({{"op", "close"}});
  platform_.settle_mounts();
}

void SimHandle::log(nlohmann::json event) const {
  event["path"] = path_;
  platform_.log_event(std::move(event));
}

OsResult<std::size_t> SimHandle::logged(const char* operation, std::uint64_t offset, std::size_t wanted,
                                        OsResult<std::size_t> result, nlohmann::json more) const {
  nlohmann::json event = {{"op", operation}, {"offset", offset}};
  if (result) {
    event["bytes"] = *result;
  } else {
    event["bytes"] = wanted;
    event["error"] = result.error().code;
    if (result.error().interrupted) event["interrupted"] = true;
  }
  event.update(more);
  log(std::move(event));
  return result;
}

std::optional<OsError> SimHandle::check(std::string_view operation) {
  if (platform_.gone(path_)) return win32_error(kErrorDeviceNotConnected);
  return platform_.fault(operation, path_, mode_);
}

OsResult<std::size_t> SimHandle::allowance(std::string_view operation, std::size_t wanted,
                                           std::uint64_t moved_so_far) {
  if (platform_.gone(path_)) return Err(win32_error(kErrorDeviceNotConnected));
  return platform_.transfer_allowance(operation, path_, mode_, wanted, moved_so_far);
}

}  // namespace wh::sim
