// The Win32 `Handle`: one kernel handle on a file, drive or volume, driven
// with synchronous ReadFile, WriteFile and DeviceIoControl.
//
// Files, drives and volumes are read and written at an offset the handle
// keeps itself, passed in an OVERLAPPED on the synchronous handle: Windows
// documents that form for every seekable object, and some device stacks
// keep no file position of their own. Pipes and character devices have no
// offsets and are read and written as a stream.
#pragma once

#include "platform/platform.h"
#include "platform/win32/win32_support.h"

namespace wh::win32 {

// What an open handle leads to. Anything that is not a disk-type object with
// file information (a raw drive, a pipe, NUL) is FileKind::kOther. A query
// that fails for another reason than the object having no file information
// is an error. The handle needs FILE_READ_ATTRIBUTES.
OsResult<FileStatus> describe_file(HANDLE handle);

class Win32Handle : public Handle {
 public:
  explicit Win32Handle(UniqueHandle handle);

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
  // win32_file_queries.cpp.
  OsResult<FileStatus> status() override;
  OsResult<std::string> final_path() override;
  OsResult<std::vector<std::string>> virtual_disk_hosts() override;
  // win32_user_token.cpp.
  OsResult<bool> user_may_change() override;
  OsResult<std::uint32_t> logical_sector_bytes() override;

 private:
  // DeviceIoControl without an overlapped structure into a zero-filled reply
  // buffer of `reply_size` bytes; the reply is cut to the bytes returned.
  OsResult<Bytes> control(DWORD code, const void* input, DWORD input_size, DWORD reply_size);

  // The OVERLAPPED that puts a transfer at `position_`, or nullptr for a stream.
  OVERLAPPED* at_position(OVERLAPPED& overlapped) const;

  UniqueHandle handle_;
  bool positional_ = true;
  std::uint64_t position_ = 0;
};

}  // namespace wh::win32
