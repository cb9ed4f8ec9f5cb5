// The handles of the simulated Windows: host files, raw drives backed by host
// files, and volumes. Each one answers only what its Windows counterpart
// answers; the rest fails with ERROR_INVALID_FUNCTION.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/sim/sim_machine.h"

namespace wh::sim {

class SimPlatform;
struct VolumeUse;

// Shared by every simulated handle: the descriptor-less operations fail.
class SimHandle : public Handle {
 public:
  SimHandle(SimPlatform& platform, std::string path) : platform_(platform), path_(std::move(path)) {}

  OsResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  OsResult<std::size_t> write(std::span<const std::uint8_t> data) override;
  OsStatus seek(std::uint64_t offset) override;
  OsStatus set_end_of_file(std::uint64_t length) override;
  OsStatus set_sparse() override;
  OsStatus flush() override;
  OsResult<std::uint64_t> disk_length() override;
  OsResult<Bytes> storage_descriptor() override;
  OsResult<std::uint64_t> disk_attributes() override;
  OsResult<std::vector<std::uint32_t>> volume_disk_extents() override;
  OsStatus lock_volume() override;
  OsStatus dismount_volume() override;
  OsResult<FileIdentity> file_identity() override;

 protected:
  // The fault for `operation` on this handle's path, or the disconnection of
  // a device that has disappeared since it was opened.
  std::optional<OsError> check(std::string_view operation);
  // How many of `wanted` bytes a read or write may move before an injected
  // "fail after N bytes" fault trips; an error when it trips now.
  OsResult<std::size_t> allowance(std::string_view operation, std::size_t wanted,
                                  std::uint64_t moved_so_far);

  SimPlatform& platform_;
  std::string path_;  // as opened
};

// GENERIC_READ or GENERIC_WRITE: what the handle was opened for.
enum class FileAccess { kRead, kWrite };

// A host file, opened by descriptor.
class SimFileHandle : public SimHandle {
 public:
  SimFileHandle(SimPlatform& platform, std::string path, int fd, FileAccess access);
  ~SimFileHandle() override;

  OsResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  OsResult<std::size_t> write(std::span<const std::uint8_t> data) override;
  OsStatus seek(std::uint64_t offset) override;
  OsStatus set_end_of_file(std::uint64_t length) override;
  OsStatus set_sparse() override;
  OsStatus flush() override;
  OsResult<FileIdentity> file_identity() override;

 private:
  int fd_;
  FileAccess access_;
  std::uint64_t position_ = 0;
  std::uint64_t read_ = 0;
  std::uint64_t written_ = 0;
};

// A physical drive: its bytes are the backing file's, up to the drive's
// length (bytes past the file's end read as zeros).
class SimDriveHandle : public SimHandle {
 public:
  SimDriveHandle(SimPlatform& platform, std::string path, const SimDrive& drive, int fd,
                 bool writable, bool exclusive);
  ~SimDriveHandle() override;

  OsResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  OsResult<std::size_t> write(std::span<const std::uint8_t> data) override;
  OsStatus seek(std::uint64_t offset) override;
  OsStatus flush() override;
  OsResult<std::uint64_t> disk_length() override;
  OsResult<Bytes> storage_descriptor() override;
  OsResult<std::uint64_t> disk_attributes() override;

 private:
  std::uint64_t length() const;

  const SimDrive& drive_;
  int fd_;
  bool writable_;
  bool exclusive_;
  std::uint64_t position_ = 0;
  std::uint64_t read_ = 0;
  std::uint64_t written_ = 0;
};

// A volume device: extents, lock and dismount. A lock lasts until the
// handle that took it is closed; a dismount lasts for the rest of the process.
class SimVolumeHandle : public SimHandle {
 public:
  SimVolumeHandle(SimPlatform& platform, std::string path, const SimVolume& volume, bool writable)
      : SimHandle(platform, std::move(path)), volume_(volume), writable_(writable) {}
  ~SimVolumeHandle() override;

  OsStatus flush() override;
  OsResult<std::vector<std::uint32_t>> volume_disk_extents() override;
  OsStatus lock_volume() override;
  OsStatus dismount_volume() override;

 private:
  VolumeUse& use();

  const SimVolume& volume_;
  bool writable_;
};

}  // namespace wh::sim
