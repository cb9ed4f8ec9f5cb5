// A host file opened through the simulated Windows: reads, writes and sizes
// through its descriptor, with the access checks a Windows file handle makes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_handle.h"
#include "platform/sim/sim_machine.h"

namespace wh::sim {

// GENERIC_READ or GENERIC_WRITE: what the handle was opened for.
enum class FileAccess { kRead, kWrite };

// A host file, opened by descriptor.
class SimFileHandle : public SimHandle {
 public:
  // `volume`: the name of the volume the file lies on, "" for a host file.
  // `read_attributes`: FILE_READ_ATTRIBUTES beside GENERIC_WRITE.
  SimFileHandle(SimPlatform& platform, std::string path, int fd, FileAccess access, std::string volume = "",
                bool read_attributes = false);
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
  // sim_links.cpp: a symbolic link opened itself is kOther; the final path
  // of a file in a volume's directory is written below the volume's name.
  OsResult<FileStatus> status() override;
  OsResult<std::string> final_path() override;
  // sim_user_rights.cpp.
  OsResult<bool> user_may_change() override;

 private:
  bool may_read_attributes() const { return access_ == FileAccess::kRead || read_attributes_; }
  OsResult<std::size_t> read_at(std::span<std::uint8_t> buffer);
  OsResult<std::size_t> write_at(std::span<const std::uint8_t> data);

  int fd_;
  FileAccess access_;
  std::string volume_;
  std::uint64_t position_ = 0;
  std::uint64_t read_ = 0;
  std::uint64_t written_ = 0;
  bool read_attributes_ = false;
};

}  // namespace wh::sim
