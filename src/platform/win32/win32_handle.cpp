#include "platform/win32/win32_handle.h"

#include <algorithm>
#include <array>
#include <cwchar>

#include "platform/win32/ioctl_replies.h"

namespace wh::win32 {
namespace {

// One ReadFile or WriteFile moves at most a DWORD's worth.
DWORD clamp_to_dword(std::size_t size) {
  return static_cast<DWORD>(std::min<std::size_t>(size, 0xFFFFF000u));
}

// The reply did not have the shape the control code promises.
OsError short_reply() { return os_error(ERROR_INVALID_DATA); }

}  // namespace

OsResult<FileStatus> describe_file(HANDLE handle) {
  FileStatus status;
  const DWORD type = ::GetFileType(handle);
  // FILE_TYPE_UNKNOWN is also what a failed call returns; only the last
  // error tells them apart.
  if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) return Err(last_error());
  if (type != FILE_TYPE_DISK) return status;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) {
    // Raw drives and volumes have no file information to give.
    const DWORD code = ::GetLastError();
    if (code == ERROR_INVALID_FUNCTION || code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED) {
      return status;
    }
    return Err(os_error(code));
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return status;
  status.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::kDirectory
                                                                    : FileKind::kRegular;
  status.identity = {info.dwVolumeSerialNumber,
                     (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  return status;
}

Win32Handle::Win32Handle(UniqueHandle handle) : handle_(std::move(handle)) {
  const DWORD type = ::GetFileType(handle_.get());
  positional_ = type != FILE_TYPE_PIPE && type != FILE_TYPE_CHAR;
}

OVERLAPPED* Win32Handle::at_position(OVERLAPPED& overlapped) const {
  if (!positional_) return nullptr;
  overlapped = {};
  overlapped.Offset = static_cast<DWORD>(position_);
  overlapped.OffsetHigh = static_cast<DWORD>(position_ >> 32);
  return &overlapped;
}

OsResult<std::size_t> Win32Handle::read(std::span<std::uint8_t> buffer) {
  OVERLAPPED overlapped;
  DWORD got = 0;
  if (!::ReadFile(handle_.get(), buffer.data(), clamp_to_dword(buffer.size()), &got, at_position(overlapped))) {
    // A pipe's writer closing is the end of the data, not a failure; so is
    // a read at or past the end of a file.
    if (::GetLastError() == ERROR_BROKEN_PIPE || ::GetLastError() == ERROR_HANDLE_EOF) return 0;
    return Err(last_error());
  }
  position_ += got;
  return static_cast<std::size_t>(got);
}

OsResult<std::size_t> Win32Handle::write(std::span<const std::uint8_t> data) {
  OVERLAPPED overlapped;
  DWORD put = 0;
  if (!::WriteFile(handle_.get(), data.data(), clamp_to_dword(data.size()), &put, at_position(overlapped))) {
    return Err(last_error());
  }
  position_ += put;
  return static_cast<std::size_t>(put);
}

OsStatus Win32Handle::seek(std::uint64_t offset) {
  // Offsets are signed on Windows.
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return Err(os_error(ERROR_INVALID_PARAMETER));
  if (positional_) {
    position_ = offset;
    return {};
  }
  // A stream has no position: Windows gives its own error.
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(handle_.get(), distance, /*lpNewFilePointer=*/nullptr, FILE_BEGIN)) {
    return Err(last_error());
  }
  return {};
}

OsStatus Win32Handle::set_end_of_file(std::uint64_t length) {
  if (length > static_cast<std::uint64_t>(INT64_MAX)) return Err(os_error(ERROR_INVALID_PARAMETER));
  FILE_END_OF_FILE_INFO info;
  info.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  if (!::SetFileInformationByHandle(handle_.get(), FileEndOfFileInfo, &info, sizeof info)) {
    return Err(last_error());
  }
  return {};
}

OsStatus Win32Handle::set_sparse() {
  // Without an input buffer the file is made sparse.
  auto reply = control(kFsctlSetSparse, /*input=*/nullptr, /*input_size=*/0, /*reply_size=*/0);
  if (!reply) return Err(reply.error());
  return {};
}

OsStatus Win32Handle::flush() {
  if (!::FlushFileBuffers(handle_.get())) return Err(last_error());
  return {};
}

OsResult<Bytes> Win32Handle::control(DWORD code, const void* input, DWORD input_size,
                                     DWORD reply_size) {
  Bytes reply(reply_size, 0);
  DWORD returned = 0;
  if (!::DeviceIoControl(handle_.get(), code, const_cast<void*>(input), input_size,
                         reply_size ? reply.data() : nullptr, reply_size, &returned,
                         /*lpOverlapped=*/nullptr)) {
    return Err(last_error());
  }
  reply.resize(std::min<DWORD>(returned, reply_size));
  return reply;
}

OsResult<std::uint64_t> Win32Handle::disk_length() {
  auto reply = control(kIoctlDiskGetLengthInfo, nullptr, 0, 8);
  if (!reply) return Err(reply.error());
  if (auto length = parse_length_info(*reply)) return *length;
  return Err(short_reply());
}

OsResult<Bytes> Win32Handle::storage_descriptor() {
  // STORAGE_PROPERTY_QUERY with PropertyId StorageDeviceProperty (0) and
  // QueryType PropertyStandardQuery (0): all zeros, 12 bytes with padding.
  const std::uint8_t query[12] = {};
  return control(kIoctlStorageQueryProperty, query, sizeof query, 1024);
}

OsResult<std::uint64_t> Win32Handle::disk_attributes() {
  auto reply = control(kIoctlDiskGetDiskAttributes, nullptr, 0, 24);
  if (!reply) return Err(reply.error());
  if (auto attributes = parse_disk_attributes(*reply)) return *attributes;
  return Err(short_reply());
}

OsResult<std::vector<std::uint32_t>> Win32Handle::volume_disk_extents() {
  auto reply = control(kIoctlVolumeGetVolumeDiskExtents, nullptr, 0, 1024);
  if (!reply) return Err(reply.error());
  if (auto disks = parse_disk_extents(*reply)) return std::move(*disks);
  return Err(short_reply());
}

OsStatus Win32Handle::update_disk_properties() {
  auto reply = control(kIoctlDiskUpdateProperties, /*input=*/nullptr, /*input_size=*/0, /*reply_size=*/0);
  if (!reply) return Err(reply.error());
  return {};
}

OsStatus Win32Handle::lock_volume() {
  auto reply = control(kFsctlLockVolume, nullptr, 0, 0);
  if (!reply) return Err(reply.error());
  return {};
}

OsStatus Win32Handle::dismount_volume() {
  auto reply = control(kFsctlDismountVolume, nullptr, 0, 0);
  if (!reply) return Err(reply.error());
  return {};
}

OsResult<std::uint64_t> Win32Handle::file_size() {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle_.get(), &size)) return Err(last_error());
  return static_cast<std::uint64_t>(size.QuadPart);
}

OsResult<FileIdentity> Win32Handle::file_identity() {
  auto status = describe_file(handle_.get());
  if (!status) return Err(status.error());
  if (status->kind != FileKind::kRegular) return Err(os_error(ERROR_INVALID_FUNCTION));
  return status->identity;
}

OsResult<VolumeInformation> Win32Handle::volume_information() {
  // MAX_PATH + 1 is the documented size of the file-system name buffer.
  std::array<wchar_t, MAX_PATH + 1> name{};
  DWORD serial = 0;
  if (!::GetVolumeInformationByHandleW(handle_.get(), /*lpVolumeNameBuffer=*/nullptr, /*nVolumeNameSize=*/0,
                                       &serial, /*lpMaximumComponentLength=*/nullptr,
                                       /*lpFileSystemFlags=*/nullptr, name.data(),
                                       static_cast<DWORD>(name.size()))) {
    return Err(last_error());
  }
  return VolumeInformation{from_wide(std::wstring_view(name.data(), ::wcsnlen(name.data(), name.size()))), serial, /*label=*/""};
}

OsResult<std::uint32_t> Win32Handle::logical_sector_bytes() {
  // DISK_GEOMETRY_EX with room for the partition and detection data that
  // some drivers append after DiskSize.
  auto reply = control(kIoctlDiskGetDriveGeometryEx, /*input=*/nullptr, /*input_size=*/0, /*reply_size=*/256);
  if (!reply) return Err(reply.error());
  if (auto bytes = parse_drive_geometry(*reply)) return *bytes;
  return Err(short_reply());
}

}  // namespace wh::win32
