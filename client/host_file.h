// An image file on flash-card's own machine as a wh::Handle, read only, so
// that flash-card decodes an image with the helper's own decoders before it
// asks for a card.
#pragma once

#include <fstream>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/result.h"

namespace flash {

class HostFile : public wh::Handle {
 public:
  // The file at the UTF-8 `path`, or why it cannot be opened.
  static wh::Result<std::unique_ptr<HostFile>, std::string> open(const std::string& path);

  wh::OsResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  wh::OsStatus seek(std::uint64_t offset) override;
  wh::OsResult<std::uint64_t> file_size() override;

  // A file is no disk, volume or writable file.
  wh::OsResult<std::size_t> write(std::span<const std::uint8_t>) override { return wh::Err(unsupported()); }
  wh::OsStatus set_end_of_file(std::uint64_t) override { return wh::Err(unsupported()); }
  wh::OsStatus set_sparse() override { return wh::Err(unsupported()); }
  wh::OsStatus flush() override { return wh::Err(unsupported()); }
  wh::OsResult<std::uint64_t> disk_length() override { return wh::Err(unsupported()); }
  wh::OsResult<wh::Bytes> storage_descriptor() override { return wh::Err(unsupported()); }
  wh::OsResult<std::uint64_t> disk_attributes() override { return wh::Err(unsupported()); }
  wh::OsResult<std::vector<std::uint32_t>> volume_disk_extents() override { return wh::Err(unsupported()); }
  wh::OsStatus update_disk_properties() override { return wh::Err(unsupported()); }
  wh::OsStatus lock_volume() override { return wh::Err(unsupported()); }
  wh::OsStatus dismount_volume() override { return wh::Err(unsupported()); }
  wh::OsResult<wh::FileIdentity> file_identity() override { return wh::Err(unsupported()); }
  wh::OsResult<wh::VolumeInformation> volume_information() override { return wh::Err(unsupported()); }
  wh::OsResult<wh::FileStatus> status() override { return wh::Err(unsupported()); }
  wh::OsResult<std::string> final_path() override { return wh::Err(unsupported()); }
  wh::OsResult<bool> user_may_change() override { return wh::Err(unsupported()); }
  wh::OsResult<std::vector<std::string>> virtual_disk_hosts() override { return wh::Err(unsupported()); }
  wh::OsResult<std::uint32_t> logical_sector_bytes() override { return wh::Err(unsupported()); }

 private:
  explicit HostFile(std::ifstream in) : in_(std::move(in)) {}
  static wh::OsError unsupported() { return wh::OsError{50, "The request is not supported."}; }
  static wh::OsError failed(const char* what) { return wh::OsError{30, std::string("The file cannot be ") + what}; }

  std::ifstream in_;
};

}  // namespace flash
