// The real Windows: every platform operation as the Win32 call it names.
#pragma once

#include "platform/platform.h"

namespace wh::win32 {

class Win32Platform : public Platform {
 public:
  OsResult<HandlePtr> open_drive_for_query(const std::string& path) override;
  OsResult<HandlePtr> open_drive_exclusive_read(const std::string& path) override;
  OsResult<HandlePtr> open_drive_exclusive_write(const std::string& path) override;
  OsResult<HandlePtr> open_volume(const std::string& name, VolumeAccess access) override;
  OsResult<std::vector<std::string>> list_volumes() override;
  OsResult<std::vector<std::string>> volume_path_names(const std::string& name) override;
  OsResult<VolumeInformation> volume_root_information(const std::string& root) override;
  OsResult<VolumeSpace> volume_space(const std::string& root) override;
  OsResult<std::string> windows_directory() override;
  OsResult<std::string> volume_path_name(const std::string& path) override;
  OsResult<std::string> volume_name_for_mount_point(const std::string& mount_point) override;
  bool file_exists(const std::string& path) override;
  OsResult<std::optional<FileStatus>> file_status(const std::string& path) override;
  OsResult<HandlePtr> open_file_read(const std::string& path) override;
  OsResult<HandlePtr> create_file_write(const std::string& path) override;
  OsResult<OpenedForWriting> open_always_write(const std::string& path) override;
  OsStatus replace_file(const std::string& from, const std::string& to) override;
  OsStatus delete_file(const std::string& path) override;
  OsResult<ProcessOutput> run_process(const std::string& executable,
                                      const std::vector<std::string>& arguments) override;
  Instant now() override;
  void sleep_ms(std::uint32_t milliseconds) override;
};

}  // namespace wh::win32
