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
  // win32_system_disks.cpp.
  OsResult<std::string> system_directory() override;
  OsResult<std::optional<std::string>> system_partition() override;
  OsResult<std::vector<std::string>> page_files() override;
  bool file_exists(const std::string& path) override;
  OsResult<std::optional<FileStatus>> file_status(const std::string& path) override;
  OsResult<HandlePtr> open_file_read(const std::string& path) override;
  OsResult<HandlePtr> create_file_write(const std::string& path) override;
  OsResult<OpenedForWriting> open_always_write(const std::string& path) override;
  OsStatus replace_file(const std::string& from, const std::string& to) override;
  OsStatus delete_file(const std::string& path) override;
  OsResult<HandlePtr> open_file_read_locked(const std::string& path) override;
  // win32_user_files.cpp.
  OsResult<HandlePtr> open_file_read_as_user(const std::string& path) override;
  OsResult<OpenedForWriting> open_output_as_user(const std::string& path) override;
  OsResult<HandlePtr> standard_input() override;
  OsResult<ProcessOutput> run_process(const std::string& executable,
                                      const std::vector<std::string>& arguments) override;
  OsResult<ProcessOutput> run_process_in_environment(const std::string& executable,
                                                     const std::vector<std::string>& arguments,
                                                     const std::vector<std::string>& environment) override;
  Instant now() override;
  void sleep_ms(std::uint32_t milliseconds) override;

 private:
  // Both run_process forms (win32_process.cpp); a null `environment` passes
  // this process's own on.
  OsResult<ProcessOutput> start_process(const std::string& executable, const std::vector<std::string>& arguments,
                                        const std::vector<std::string>* environment);
};

}  // namespace wh::win32
