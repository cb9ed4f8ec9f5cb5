// A disk held in memory for the reader tests, with the faults a real drive
// shows: a failing seek or read, interrupted calls and short reads. Portable,
// so the tests that use it also run as Windows code under Wine.
#pragma once

#include <algorithm>
#include <optional>

#include "platform/platform.h"

namespace wh {

// A disk held in memory, with the faults a real drive shows.
class MemoryHandle : public Handle {
 public:
  explicit MemoryHandle(Bytes data) : data_(std::move(data)) {}

  std::optional<OsError> seek_error;
  std::optional<OsError> read_error;
  int interrupted_reads = 0;  // the next reads report an interrupted call
  std::size_t chunk = 0;      // longest read served (0: unlimited)
  int seeks = 0;
  int reads = 0;
  // A disk of this logical sector size refuses (87) a read off its grid, as
  // the disk driver does; 0 is a file, read at any offset.
  std::uint32_t device_sector = 0;

  OsResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
    ++reads;
    if (interrupted_reads > 0) {
      --interrupted_reads;
      return Err(OsError{995, "Interrupted.", /*interrupted=*/true});
    }
    if (read_error) return Err(*read_error);
    if (device_sector != 0 && (position_ % device_sector != 0 || buffer.size() % device_sector != 0)) {
      return Err(OsError{87, "The parameter is incorrect."});
    }
    const std::uint64_t left = position_ < data_.size() ? data_.size() - position_ : 0;
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left));
    if (chunk != 0) n = std::min(n, chunk);
    if (n == 0) return std::size_t{0};
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(position_), n, buffer.begin());
    position_ += n;
    return n;
  }
  OsStatus seek(std::uint64_t offset) override {
    ++seeks;
    if (seek_error) return Err(*seek_error);
    position_ = offset;
    return {};
  }
  OsResult<std::size_t> write(std::span<const std::uint8_t>) override { return Err(unsupported()); }
  OsStatus set_end_of_file(std::uint64_t) override { return Err(unsupported()); }
  OsStatus set_sparse() override { return Err(unsupported()); }
  OsStatus flush() override { return Err(unsupported()); }
  OsResult<std::uint64_t> file_size() override { return Err(unsupported()); }
  OsResult<std::uint64_t> disk_length() override { return Err(unsupported()); }
  OsStatus update_disk_properties() override { return Err(unsupported()); }
  OsResult<Bytes> storage_descriptor() override { return Err(unsupported()); }
  OsResult<std::uint64_t> disk_attributes() override { return Err(unsupported()); }
  OsResult<std::vector<std::uint32_t>> volume_disk_extents() override { return Err(unsupported()); }
  OsStatus lock_volume() override { return Err(unsupported()); }
  OsStatus dismount_volume() override { return Err(unsupported()); }
  OsResult<FileIdentity> file_identity() override { return Err(unsupported()); }
  OsResult<VolumeInformation> volume_information() override { return Err(unsupported()); }
  OsResult<FileStatus> status() override { return Err(unsupported()); }
  OsResult<std::string> final_path() override { return Err(unsupported()); }
  OsResult<bool> user_may_change() override { return Err(unsupported()); }
  OsResult<std::vector<std::string>> virtual_disk_hosts() override { return Err(unsupported()); }
  OsResult<std::uint32_t> logical_sector_bytes() override {
    if (device_sector == 0) return Err(unsupported());
    return device_sector;
  }

 private:
  static OsError unsupported() { return OsError{1, "Incorrect function.\r\n"}; }
  Bytes data_;
  std::uint64_t position_ = 0;
};

}  // namespace wh
