// The Win32 layer's own rules, checked against the Windows that Wine
// provides: what a child process inherits, names that Windows would cut
// short, offsets beyond its signed range, and enumerations that end cleanly.
#include <windows.h>

#include <climits>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "frame/powershell_runner.h"
#include "platform/unicode.h"
#include "wine_support.h"

namespace wh::wine {
namespace {

// Steers the stand-in powershell.exe: the helper gives it an environment of
// its own making, so the settings go in standin.txt beside it.
void steer(const std::map<std::string, std::string>& settings) {
  std::string path(kPowerShellPath);
  path = path.substr(0, path.find_last_of('\\') + 1) + "standin.txt";
  std::string text;
  for (const auto& [name, value] : settings) {
    text += name + "=";
    for (char c : value) text += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : c == '\\' ? std::string("\\\\") : std::string(1, c);
    text += "\n";
  }
  if (settings.empty()) {
    ::DeleteFileA(path.c_str());
  } else {
    write_file(path, text);
  }
}

class Win32Platform : public ::testing::Test {
 protected:
  void TearDown() override { steer({}); }
};

TEST_F(Win32Platform, PowerShellInheritsOnlyItsStandardHandles) {
  // An inheritable, signalled event that the child must not receive.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, /*lpSecurityDescriptor=*/nullptr, /*bInheritHandle=*/TRUE};
  HANDLE event = ::CreateEventW(&inherit, /*bManualReset=*/TRUE, /*bInitialState=*/TRUE, /*lpName=*/nullptr);
  ASSERT_NE(event, nullptr);
  steer({{"STANDIN_PROBE_HANDLE", std::to_string(reinterpret_cast<std::uintptr_t>(event))}});
  auto answer = run_powershell(platform(), "Get-Disk");
  ::CloseHandle(event);
  ASSERT_TRUE(answer.ok()) << answer.error().message;
  EXPECT_EQ(*answer, "not inherited\nGet-Disk");
}

TEST_F(Win32Platform, EmptyWritesDoNotEndTheOutput) {
  steer({{"STANDIN_EMPTY_WRITES", "3"}});
  auto answer = run_powershell(platform(), "Get-Volume | ConvertTo-Json");
  ASSERT_TRUE(answer.ok()) << answer.error().message;
  EXPECT_EQ(*answer, "Get-Volume | ConvertTo-Json");
}

TEST_F(Win32Platform, ANulInAPathIsAnInvalidName) {
  const std::string file = scratch("named.bin");
  write_file(file, "kept");
  const std::string cut = file + std::string(1, '\0') + ".other";
  const auto code = [](const auto& result) { return result.ok() ? 0u : result.error().code; };
  EXPECT_EQ(code(platform().open_file_read(cut)), 123u);
  EXPECT_EQ(code(platform().create_file_write(cut)), 123u);
  EXPECT_EQ(code(platform().open_always_write(cut)), 123u);
  EXPECT_EQ(code(platform().file_status(cut)), 123u);
  EXPECT_EQ(code(platform().run_process(std::string(kPowerShellPath) + std::string(1, '\0'), {})), 123u);
  EXPECT_FALSE(platform().file_exists(cut));
  EXPECT_EQ(read_file(file), "kept");
}

TEST_F(Win32Platform, OffsetsBeyondTheSignedRangeAreInvalidParameters) {
  auto file = platform().create_file_write(scratch("range.bin"));
  ASSERT_TRUE(file.ok()) << file.error().text();
  const std::uint64_t too_far = static_cast<std::uint64_t>(INT64_MAX) + 1;
  EXPECT_EQ((*file)->seek(too_far).error().code, 87u);
  EXPECT_EQ((*file)->set_end_of_file(too_far).error().code, 87u);
  EXPECT_TRUE((*file)->set_end_of_file(4096).ok());
  file->reset();
  auto reader = platform().open_file_read(scratch("range.bin"));
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(*(*reader)->file_size(), 4096u);
}

// The chain that finds the disk Windows runs from: the directory, its
// mount point, the volume behind it.
TEST_F(Win32Platform, TheWindowsDirectoryLeadsToItsVolume) {
  auto directory = platform().windows_directory();
  ASSERT_TRUE(directory.ok()) << directory.error().text();
  auto mount_point = platform().volume_path_name(*directory);
  ASSERT_TRUE(mount_point.ok()) << mount_point.error().text();
  EXPECT_EQ(ascii_lower(*mount_point), ascii_lower(directory->substr(0, 3))) << *directory;
  auto volume = platform().volume_name_for_mount_point(*mount_point);
  ASSERT_TRUE(volume.ok()) << volume.error().text();
  EXPECT_TRUE(volume->starts_with("\\\\?\\Volume{") && volume->ends_with("}\\")) << *volume;
  // Without the trailing backslash it is no mount point.
  EXPECT_FALSE(platform().volume_name_for_mount_point(mount_point->substr(0, 2)).ok());
  // And back: the volume's mount points hold the drive; its root tells its
  // file system and space, by its name as by its letter.
  auto paths = platform().volume_path_names(*volume);
  ASSERT_TRUE(paths.ok()) << paths.error().text();
  bool found = false;
  for (const std::string& path : *paths) found = found || ascii_lower(path) == ascii_lower(*mount_point);
  EXPECT_TRUE(found) << *mount_point;
  for (const std::string& root : {*volume, *mount_point}) {
    auto information = platform().volume_root_information(root);
    ASSERT_TRUE(information.ok()) << root << ": " << information.error().text();
    EXPECT_FALSE(information->file_system.empty()) << root;
    auto space = platform().volume_space(root);
    ASSERT_TRUE(space.ok()) << root << ": " << space.error().text();
    EXPECT_GT(space->total_bytes, 0u);
    EXPECT_LE(space->free_bytes, space->total_bytes);
  }
}

TEST_F(Win32Platform, FileStatusTellsFilesDirectoriesAndDevicesApart) {
  const std::string file = scratch("status.bin");
  write_file(file, "x");
  auto regular = platform().file_status(file);
  ASSERT_TRUE(regular.ok() && regular->has_value()) << (regular.ok() ? "absent" : regular.error().text());
  EXPECT_EQ((*regular)->kind, FileKind::kRegular);
  auto directory = platform().file_status(windows_path(SCRATCH_DIR));
  ASSERT_TRUE(directory.ok() && directory->has_value());
  EXPECT_EQ((*directory)->kind, FileKind::kDirectory);
  auto device = platform().file_status("NUL");
  ASSERT_TRUE(device.ok() && device->has_value());
  EXPECT_EQ((*device)->kind, FileKind::kOther);
  auto missing = platform().file_status(scratch("no\\such\\file"));
  ASSERT_TRUE(missing.ok());
  EXPECT_FALSE(missing->has_value());
}

// The request file's open, the user's opens and what a handle tells of
// itself. Wine splits the token, but its linked token is the full one again,
// so the user's rights are the process's own here.
TEST_F(Win32Platform, LockedReadsUserOpensAndFinalPaths) {
  const std::string file = scratch("locked.json");
  write_file(file, "{}");
  const auto code = [](const auto& result) { return result.ok() ? 0u : result.error().code; };
  {
    auto locked = platform().open_file_read_locked(file);
    ASSERT_TRUE(locked.ok()) << locked.error().text();
    EXPECT_EQ((*locked)->status()->kind, FileKind::kRegular);
    EXPECT_EQ(*(*locked)->user_may_change(), true);  // the user wrote it
    EXPECT_TRUE(ascii_lower(*(*locked)->final_path()).ends_with("\\locked.json")) << *(*locked)->final_path();
    EXPECT_EQ(code(platform().open_always_write(file)), 32u);  // no writer while it is read
  }
  auto writer = platform().open_always_write(file);
  EXPECT_EQ(code(platform().open_file_read_locked(file)), 32u);
  writer->handle.reset();
  EXPECT_EQ(code(platform().open_file_read_locked(windows_path(SCRATCH_DIR))), 5u);  // a directory

  auto output = platform().open_output_as_user(file);
  ASSERT_TRUE(output.ok()) << output.error().text();
  EXPECT_TRUE(output->already_existed);
  EXPECT_EQ(output->handle->status()->kind, FileKind::kRegular);
  output->handle.reset();
  EXPECT_EQ(read_file(file), "{}");  // opened, not truncated
  auto fresh = platform().open_output_as_user(scratch("fresh.img"));
  ASSERT_TRUE(fresh.ok()) << fresh.error().text();
  EXPECT_FALSE(fresh->already_existed);
  EXPECT_EQ(code(platform().open_file_read_as_user(scratch("no-such.img"))), 2u);

  // Wine checks a descriptor only when asked (AccessCheck), never on an
  // open as root; Windows' own refusal of the user's open is on the
  // checklist of docs/windows.md.
  protect_from_user(file);
  EXPECT_EQ(*(*platform().open_file_read_locked(file))->user_may_change(), false);
}

// Where Windows keeps what it needs: nothing here fails for want of a value.
TEST_F(Win32Platform, TheSystemFoldersPartitionAndPageFilesAreFound) {
  auto system = platform().system_directory();
  ASSERT_TRUE(system.ok()) << system.error().text();
  EXPECT_EQ(ascii_lower(*system), ascii_lower(*platform().windows_directory() + "\\system32"));
  auto partition = platform().system_partition();
  EXPECT_TRUE(partition.ok()) << partition.error().text();
  auto page_files = platform().page_files();
  EXPECT_TRUE(page_files.ok()) << page_files.error().text();
}

TEST_F(Win32Platform, TheVolumeListEndsOnlyAtItsEnd) {
  auto volumes = platform().list_volumes();
  ASSERT_TRUE(volumes.ok()) << volumes.error().text();
  for (const std::string& name : *volumes) {
    EXPECT_TRUE(name.starts_with("\\\\?\\Volume{") && name.ends_with("}\\")) << name;
  }
}

}  // namespace
}  // namespace wh::wine
