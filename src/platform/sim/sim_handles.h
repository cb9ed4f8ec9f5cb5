// The handles of the simulated Windows: host files, raw drives backed by host
// files, and volumes. Each one answers only what its Windows counterpart
// answers; the rest fails with ERROR_INVALID_FUNCTION. Handles name their
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

// GENERIC_READ or GENERIC_WRITE: what the handle was opened for.
enum class FileAccess { kRead, kWrite };

// A host file, opened by descriptor.
class SimFileHandle : public SimHandle {
 public:
  // `volume`: the name of the volume the file lies on, "" for a host file.
  SimFileHandle(SimPlatform& platform, std::string path, int fd, FileAccess access, std::string volume = "");
  ~SimFileHandle() override;

  OsResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  OsResult<std::size_t> write(std::span<const std::uint8_t> data) override;
  OsStatus seek(std::uint64_t offset) override;
  OsStatus set_end_of_file(std::uint64_t length) override;
  OsStatus set_sparse() override;
  OsStatus flush() override;
  // GetFileSizeEx needs FILE_READ_ATTRIBUTES, as file_identity does.
  OsResult<std::uint64_t> file_size() override;
  OsResult<FileIdentity> file_identity() override;
  // The volume's file system and serial; a host file outside every volume
  // answers "NTFS" and 0, as the system drive would.
  OsResult<VolumeInformation> volume_information() override;

 private:
  OsResult<std::size_t> read_at(std::span<std::uint8_t> buffer);
  OsResult<std::size_t> write_at(std::span<const std::uint8_t> data);

  int fd_;
  FileAccess access_;
  std::string volume_;
  std::uint64_t position_ = 0;
  std::uint64_t read_ = 0;
  std::uint64_t written_ = 0;
};

// A physical drive: its bytes are the backing file's, up to the drive's
// length (bytes past the file's end read as zeros). Transfers follow the disk
// driver's rules: whole 512-byte sectors at sector offsets (else 87), inside
// the disk (else 27). Another card put in the reader since the open fails
// every call with 1110, as Windows reports a media change; a drive no longer
// there fails with 1167. "corrupt" faults given to the handle at its open
// change what its reads return.
class SimDriveHandle : public SimHandle {
 public:
  SimDriveHandle(SimPlatform& platform, std::string path, std::string mode, const SimDrive& drive, int fd,
                 bool writable, bool exclusive);
  ~SimDriveHandle() override;

  OsResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  OsResult<std::size_t> write(std::span<const std::uint8_t> data) override;
  OsStatus seek(std::uint64_t offset) override;
  OsStatus flush() override;
  OsResult<std::uint64_t> disk_length() override;
  OsResult<Bytes> storage_descriptor() override;
  OsResult<std::uint64_t> disk_attributes() override;
  // Windows reads the partition table again once none of the disk's volumes
  // is locked any more (SimPlatform::mount_after_rewrite); logged as
  // "updateProperties".
  OsStatus update_disk_properties() override;

 private:
  OsResult<std::size_t> read_at(std::span<std::uint8_t> buffer);
  OsResult<std::size_t> write_at(std::span<const std::uint8_t> data);
  // The drive as the handle may still use it, or why it cannot.
  OsResult<const SimDrive*> drive() const;
  std::uint64_t length(const SimDrive& drive) const;
  // The disk driver's answer to `size` bytes at the position through
  // `buffer`: 87 off the sector grid or from a buffer whose address is not a
  // multiple of 512, 27 outside the disk.
  std::optional<OsError> sector_rule(const void* buffer, std::size_t size, const SimDrive& drive) const;
  // Puts the corrupt faults' bytes over `data`, read from `offset`; the
  // count of bytes replaced.
  std::size_t corrupt(std::uint64_t offset, std::span<std::uint8_t> data) const;

  // What identifies the card that was in the reader at the open.
  struct Card {
    std::string backing_file;
    std::optional<std::string> serial;
    std::optional<std::uint64_t> size_bytes;
    bool no_medium = false;
    bool operator==(const Card&) const = default;
  };
  static Card card_of(const SimDrive& drive);

  std::uint32_t number_;
  Card card_;
  int fd_;
  bool writable_;
  bool exclusive_;
  std::uint64_t position_ = 0;
  std::uint64_t read_ = 0;
  std::uint64_t written_ = 0;
  std::vector<std::size_t> corruptions_;  // indexes of the corrupt faults it sees
  std::size_t corrupted_ = 0;  // bytes the last read had replaced
};

// A volume device: extents, lock and dismount. A lock lasts until the
// handle that took it is closed; a dismount is written to machine.json
// ("mounted": false). A volume gone from the machine fails with 1167.
class SimVolumeHandle : public SimHandle {
 public:
  SimVolumeHandle(SimPlatform& platform, std::string path, std::string volume_name, bool writable)
      : SimHandle(platform, std::move(path), writable ? "volumeReadWrite" : "volumeRead"),
        name_(std::move(volume_name)), writable_(writable) {}
  ~SimVolumeHandle() override;

  OsStatus flush() override;
  OsResult<std::vector<std::uint32_t>> volume_disk_extents() override;
  OsStatus lock_volume() override;
  OsStatus dismount_volume() override;
  OsResult<VolumeInformation> volume_information() override;

 private:
  OsStatus try_lock();
  OsStatus try_dismount();
  VolumeUse& use();
  // The volume as the machine has it now, or 1167.
  OsResult<SimVolume*> volume();

  std::string name_;  // as listed, trailing backslash included
  bool writable_;
};

}  // namespace wh::sim
