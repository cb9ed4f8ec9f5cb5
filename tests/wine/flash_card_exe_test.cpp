// flash-card.exe driving the real windows_helper.exe: the two programs meet
// through CreateProcessW, the quoted command line and the anonymous pipe.
// Wine has no card to write, so the run ends at the image check.
#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

#include "platform/unicode.h"
#include "platform/windows_command_line.h"
#include "wine_support.h"

namespace wh::wine {
namespace {

using nlohmann::json;

// A missing image is found missing by flash-card itself, before its helper
// starts; a file that is no image is the helper's to judge, and its path reaches the helper intact.
// Both are the input's fault: exit status 2, one line, nothing touched.
TEST(FlashCardExe, ReadsTheHelperAndRefusesWhatIsNoImage) {
  const std::string missing = scratch("no such image \xC3\xA9.img.xz");
  const std::string junk = scratch("not an image \xC3\xA9.img.xz");
  write_file(junk, std::string(4096, 'x'));
  const std::string transcript = scratch("flash-card-transcript.jsonl");
  for (const std::string& image : {missing, junk}) {
    SCOPED_TRACE(image);
    const auto output = platform().run_process(
        windows_path(FLASH_CARD_EXE), {image, "--disk", "1", "--yes", "--helper", windows_path(HELPER_EXE),
                                       "--transcript", transcript});
    ASSERT_TRUE(output) << output.error().text();
    EXPECT_EQ(output->exit_code, 2u) << output->standard_error;
    // One line, in text mode.
    EXPECT_TRUE(output->standard_error.starts_with("flash-card: ")) << output->standard_error;
    EXPECT_EQ(output->standard_error.find("\r\n"), output->standard_error.size() - 2) << output->standard_error;
    std::istringstream lines(read_file(transcript));
    std::vector<json> records;
    for (std::string line; std::getline(lines, line);) records.push_back(json::parse(line));
    if (image == missing) {  // refused before the helper starts
      EXPECT_EQ(output->standard_error, "flash-card: the image " + image + " was not found; check its name and "
                                        "folder; nothing was written\r\n");
      EXPECT_EQ(records.size(), 0u);
      continue;
    }
    // health answered: its version and platform are on the display.
    EXPECT_NE(output->standard_output.find("Helper " WINDOWS_HELPER_VERSION " on windows"), std::string::npos)
        << output->standard_output;
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0]["lines"].back()["payload"]["platform"], "windows");
    // The request reached the helper through the command line intact.
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1]["request"]["command"], "image_uncompressed_size");
    EXPECT_EQ(records[1]["request"]["payload"]["imagePath"], image);
  }
}

std::wstring wide(std::string_view text) {
  const std::u16string utf16 = utf8_to_utf16(text);
  return std::wstring(utf16.begin(), utf16.end());
}

// flash-card killed outright, with no chance to clean up, while its helper
// (and the helper's own child) still run: Windows ends them with it, so no
// write goes on and no volume lock outlives it.
TEST(FlashCardExe, TheHelperAndItsChildrenEndWithFlashCard) {
  const std::string record = scratch("lingering-pids.txt");
  ::DeleteFileW(wide(record).c_str());
  ASSERT_TRUE(::SetEnvironmentVariableW(L"WH_LINGERING_PIDS", wide(record).c_str()));
  const std::string program = windows_path(FLASH_CARD_EXE);
  write_file(scratch("any.img.xz"), "x");  // there, so that flash-card starts its helper
  std::wstring command_line = wide(build_windows_command_line(
      program, {scratch("any.img.xz"), "--disk", "1", "--yes", "--helper", windows_path(LINGERING_HELPER_EXE)}));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION flash{};
  ASSERT_TRUE(::CreateProcessW(wide(program).c_str(), command_line.data(), /*lpProcessAttributes=*/nullptr,
                               /*lpThreadAttributes=*/nullptr, /*bInheritHandles=*/FALSE, /*dwCreationFlags=*/0,
                               /*lpEnvironment=*/nullptr, /*lpCurrentDirectory=*/nullptr, &startup, &flash));
  ::CloseHandle(flash.hThread);

  std::vector<DWORD> pids;
  for (int tries = 0; tries < 300 && pids.size() < 2; ++tries) {
    ::Sleep(100);
    pids.clear();
    std::istringstream lines(read_file(record));
    for (DWORD pid = 0; lines >> pid;) pids.push_back(pid);
  }
  ASSERT_EQ(pids.size(), 2u) << "the stand-in helper and its child did not both start";
  ASSERT_TRUE(::TerminateProcess(flash.hProcess, /*uExitCode=*/1));
  EXPECT_EQ(::WaitForSingleObject(flash.hProcess, 10000), WAIT_OBJECT_0);
  ::CloseHandle(flash.hProcess);
  for (const DWORD pid : pids) {
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, /*bInheritHandle=*/FALSE, pid);
    if (process == nullptr) continue;  // already gone
    EXPECT_EQ(::WaitForSingleObject(process, 10000), WAIT_OBJECT_0) << "process " << pid << " outlived flash-card";
    ::CloseHandle(process);
  }
}

}  // namespace
}  // namespace wh::wine
