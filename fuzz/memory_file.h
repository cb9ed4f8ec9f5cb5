// A fuzzer's input as a file for the decoders: reads hand out at most
// `chunk` bytes at a time, so a decoder also sees input arrive in small, odd
// pieces; everything but reading, seeking and its size is refused.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace fuzzing {

// The read size the input's first byte picks (1 to 24736), taken off the input.
inline std::size_t take_chunk_size(const std::uint8_t*& data, std::size_t& size) {
  const std::size_t chunk = 1 + data[0] * 97u;
  ++data;
  --size;
  return chunk;
}

class MemoryFile : public wh::Handle {
 public:
  MemoryFile(const std::uint8_t* data, std::size_t size, std::size_t chunk)
      : data_(data), size_(size), chunk_(chunk) {}

  wh::OsResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
    const std::size_t n = std::min({buffer.size(), size_ - position_, chunk_});
    std::memcpy(buffer.data(), data_ + position_, n);
    position_ += n;
    return n;
  }
  wh::OsResult<std::size_t> write(std::span<const std::uint8_t>) override { return unsupported(); }
  wh::OsStatus seek(std::uint64_t offset) override {
    position_ = static_cast<std::size_t>(std::min<std::uint64_t>(offset, size_));
    return {};
  }
  wh::OsStatus set_end_of_file(std::uint64_t) override { return unsupported(); }
  wh::OsStatus set_sparse() override { return unsupported(); }
  wh::OsStatus flush() override { return unsupported(); }
  wh::OsResult<std::uint64_t> file_size() override { return std::uint64_t{size_}; }
  wh::OsResult<std::uint64_t> disk_length() override { return unsupported(); }
  wh::OsStatus update_disk_properties() override { return unsupported(); }
  wh::OsResult<wh::Bytes> storage_descriptor() override { return unsupported(); }
  wh::OsResult<std::uint64_t> disk_attributes() override { return unsupported(); }
  wh::OsResult<std::vector<std::uint32_t>> volume_disk_extents() override { return unsupported(); }
  wh::OsStatus lock_volume() override { return unsupported(); }
  wh::OsStatus dismount_volume() override { return unsupported(); }
  wh::OsResult<wh::FileIdentity> file_identity() override { return unsupported(); }
  wh::OsResult<wh::VolumeInformation> volume_information() override { return unsupported(); }
  wh::OsResult<wh::FileStatus> status() override { return unsupported(); }
  wh::OsResult<std::string> final_path() override { return unsupported(); }
  wh::OsResult<bool> user_may_change() override { return unsupported(); }
  wh::OsResult<std::vector<std::string>> virtual_disk_hosts() override { return unsupported(); }
  wh::OsResult<std::uint32_t> logical_sector_bytes() override { return unsupported(); }

 private:
  static wh::Err<wh::OsError> unsupported() { return wh::Err(wh::OsError{1, "Incorrect function.", false}); }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t chunk_;
  std::size_t position_ = 0;
};

}  // namespace fuzzing
