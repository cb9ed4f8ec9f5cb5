// A raw physical drive of the simulated Windows, backed by a host file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_handle.h"
#include "platform/sim/sim_machine.h"

namespace wh::sim {

// A physical drive: its bytes are the backing file's, up to the drive's
// length (bytes past the file's end read as zeros). Transfers follow the disk
// driver's rules: whole logical sectors (`logicalSectorBytes`, 512 unless the
// machine says otherwise) at sector offsets (else 87), inside the disk (else
// 27). Another card put in the reader since the open fails
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
  // The drive's logicalSectorBytes; "geometry" faults fail it.
  OsResult<std::uint32_t> logical_sector_bytes() override;
  // Windows reads the partition table again once none of the disk's volumes
  // is locked any more (SimPlatform::mount_after_rewrite); logged as
  // "updateProperties".
  OsStatus update_disk_properties() override;
  // sim_system_disks.cpp: the drive's `hostVolume`; 1 for a drive without.
  OsResult<std::vector<std::string>> virtual_disk_hosts() override;

 private:
  OsResult<std::size_t> read_at(std::span<std::uint8_t> buffer);
  OsResult<std::size_t> write_at(std::span<const std::uint8_t> data);
  // The drive as the handle may still use it, or why it cannot.
  OsResult<const SimDrive*> drive() const;
  std::uint64_t length(const SimDrive& drive) const;
  // The disk driver's answer to `size` bytes at the position through
  // `buffer`: 87 off the sector grid or from a buffer whose address is not a
  // multiple of the sector size, 27 outside the disk.
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

}  // namespace wh::sim
