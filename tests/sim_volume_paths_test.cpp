// Paths inside simulated volumes stay inside the volume's directory, and
// files there are replaced, deleted and asked about as Windows answers.
#include <filesystem>

#include <gtest/gtest.h>

#include "sim_dir.h"

namespace wh {
namespace {

using nlohmann::json;
using namespace testing;

const std::string kA = "\\\\?\\Volume{aaaaaaaa-0000-1111-2222-333344445555}\\";
const std::string kB = "\\\\?\\Volume{bbbbbbbb-0000-1111-2222-333344445555}\\";
const std::string kOffline = "\\\\?\\Volume{cccccccc-0000-1111-2222-333344445555}\\";
const std::string kNoDirectory = "\\\\?\\Volume{dddddddd-0000-1111-2222-333344445555}\\";

class VolumePaths : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"a/sub", "b", "c", "outside"}) std::filesystem::create_directories(dir.file(d));
    for (const char* f : {"a/f.txt", "a/ro.txt", "b/f.txt", "c/f.txt", "outside/secret", "host.txt"}) dir.write_file(f, f);
    std::filesystem::create_directory_symlink(dir.file("outside"), dir.file("a/link"));
    std::filesystem::create_symlink(dir.file("outside/secret"), dir.file("a/out"));
    const auto volume = [](const std::string& name, int disk, std::uint64_t offset, const char* directory) {
      json v = {{"name", name}, {"extents", {{{"disk", disk}, {"startingOffset", offset}, {"length", 1024}}}},
                {"fileSystem", "FAT"}, {"serialNumber", 77}};
      if (directory != nullptr) v["directory"] = directory;
      return v;
    };
    dir.write_file("disk.img", "");
    dir.write_machine({{"elevated", true},
                       {"drives", {{{"number", 1}, {"backingFile", "disk.img"}},
                                   {{"number", 2}, {"backingFile", "disk.img"}, {"offline", true}}}},
                       {"volumes", {volume(kA, 1, 0, "a"), volume(kB, 1, 4096, "b"), volume(kOffline, 2, 0, "c"),
                                    volume(kNoDirectory, 1, 8192, nullptr)}},
                       {"fileAttributes", {{"a/ro.txt", {"readOnly"}}}}});
  }
  SimDir dir;
};

TEST_F(VolumePaths, NamesTheFileSystemRefusesNeverLeaveTheDirectory) {
  const struct {
    std::string path;
    std::uint32_t code;  // 0: opens
  } cases[] = {
      {kA + "sub\\..\\..\\outside\\secret", 123}, {kA + "..\\host.txt", 123}, {kA + ".\\f.txt", 123},
      {kA + "sub\\\\f.txt", 123}, {kA + "sub\\", 123}, {kA + "f\x01.txt", 123}, {kA + "C:f.txt", 123},
      {kA + "sub/f.txt", 123}, {kA + "f?.txt", 123}, {kA + "\"f\".txt", 123},
      {kA + "nodir\\f.txt", 3}, {kOffline + "f.txt", 3}, {kNoDirectory + "f.txt", 3},
      {"\\\\?\\Volume{99999999-0000-1111-2222-333344445555}\\f.txt", 3},
      {kA + "link\\secret", 5}, {kA + "out", 5},
      {kA + "F.TXT", 0}, {kA + "new.txt", 0},
  };
  auto p = dir.platform();
  for (const auto& c : cases) {
    auto file = p.create_file_write(c.path);
    EXPECT_EQ(file ? 0u : file.error().code, c.code) << c.path;
  }
  EXPECT_EQ(dir.read_file("outside/secret"), "outside/secret");  // nothing written through the links
  EXPECT_EQ(dir.read_file("a/f.txt"), "");                       // F.TXT is f.txt
  EXPECT_FALSE(std::filesystem::exists(dir.file("a/F.TXT")));
  EXPECT_FALSE(*p.file_status(kOffline + "f.txt"));  // a volume not there holds no file
  EXPECT_EQ(p.file_status(kA + "..\\f.txt").error().code, 123u);
  EXPECT_FALSE(p.file_exists(kA + "out"));
  EXPECT_TRUE(p.file_exists(dir.file("host.txt")));  // host paths stay as they are
}

TEST_F(VolumePaths, ReplaceAndDeleteAnswerAsWindows) {
  const std::string host = dir.file("host.txt");
  const struct {
    std::string from, to;  // no `from`: delete `to`
    std::uint32_t code;
  } cases[] = {
      {kA + "missing", kA + "f.txt", 2}, {kA + "nodir\\x", kA + "f.txt", 3}, {kA + "f.txt", kA + "nodir\\g", 3},
      {kA + "f.txt", kB + "f.txt", 17}, {host, kA + "f.txt", 17}, {kA + "f.txt", host, 17},
      {kA + "f.txt", kA + "sub", 5}, {kA + "f.txt", kA + "ro.txt", 5}, {kA + "sub", kA + "f.txt", 5},
      {kA + "f.txt", kA + "..\\x", 123},
      {"", kA + "missing", 2}, {"", kA + "nodir\\x", 3}, {"", kA + "sub", 5}, {"", kA + "ro.txt", 5},
      {"", kA + "out", 5},
      {kA + "f.txt", kA + "sub\\moved.txt", 0}, {"", kB + "F.txt", 0},
  };
  auto p = dir.platform();
  for (const auto& c : cases) {
    auto done = c.from.empty() ? p.delete_file(c.to) : p.replace_file(c.from, c.to);
    EXPECT_EQ(done ? 0u : done.error().code, c.code) << c.from << " -> " << c.to;
  }
  EXPECT_EQ(dir.read_file("a/sub/moved.txt"), "a/f.txt");
  EXPECT_FALSE(std::filesystem::exists(dir.file("b/f.txt")));
  EXPECT_TRUE(std::filesystem::exists(dir.file("outside/secret")));
}

TEST_F(VolumePaths, AFileKnowsTheVolumeItLiesOn) {
  auto p = dir.platform();
  auto on_volume = p.open_file_read(kA + "ro.txt");
  auto on_host = p.open_file_read(dir.file("host.txt"));
  ASSERT_TRUE(on_volume && on_host);
  EXPECT_EQ((*on_volume)->volume_information()->file_system, "FAT");
  EXPECT_EQ((*on_volume)->volume_information()->serial_number, 77u);
  EXPECT_EQ((*on_host)->volume_information()->file_system, "NTFS");
  EXPECT_EQ((*on_host)->volume_information()->serial_number, 0u);
  p.machine.drives[0].offline = true;  // the disk taken offline under the open file
  EXPECT_EQ((*on_volume)->volume_information().error().code, 1167u);
}

// What Windows shows a user of a volume, asked by its name or its letter:
// where it is mounted, its label and file system, its space; a RAW volume
// has no file system to ask, a locked one keeps the call out, and a
// dismounted one is mounted again by it.
TEST_F(VolumePaths, VolumeRootsTellLettersLabelsAndSpace) {
  const std::string raw = "\\\\?\\Volume{eeeeeeee-0000-1111-2222-333344445555}\\";
  json described = dir.machine();
  described["volumes"][0].update({{"letters", {"E"}}, {"label", "HOLIDAY"}});
  described["volumes"][1]["mounted"] = false;
  described["volumes"].push_back({{"name", raw}, {"letters", {"F"}}, {"fileSystem", "RAW"}, {"mounted", false},
                                  {"extents", {{{"disk", 1}, {"startingOffset", 16384}, {"length", 1024}}}}});
  dir.write_machine(described);
  auto p = dir.platform();
  const auto code = [](const auto& result) { return result ? 0u : result.error().code; };
  EXPECT_EQ(*p.volume_path_names(kA), std::vector<std::string>{"E:\\"});
  EXPECT_EQ(*p.volume_path_names(kNoDirectory), std::vector<std::string>{});
  EXPECT_EQ(code(p.volume_path_names(kA.substr(0, kA.size() - 1))), 123u);
  EXPECT_EQ(code(p.volume_path_names("\\\\?\\Volume{00000000-0000-1111-2222-333344445555}\\")), 2u);
  for (const std::string& root : {kA, std::string("e:\\")}) {
    auto information = p.volume_root_information(root);
    ASSERT_TRUE(information) << root;
    EXPECT_EQ(information->file_system, "FAT");
    EXPECT_EQ(information->label, "HOLIDAY");
    EXPECT_EQ(information->serial_number, 77u);
  }
  // The extent's 1024 bytes, less the files of a/ (not the ones its links lead to).
  auto space = p.volume_space(kA);
  ASSERT_TRUE(space);
  EXPECT_EQ(space->total_bytes, 1024u);
  EXPECT_EQ(space->free_bytes, 1024u - std::string("a/f.txt").size() - std::string("a/ro.txt").size());
  EXPECT_EQ(code(p.volume_root_information(raw)), 1005u);
  EXPECT_EQ(code(p.volume_space("F:\\")), 1005u);
  EXPECT_EQ(code(p.volume_root_information(kOffline)), 3u);
  EXPECT_EQ(code(p.volume_root_information("G:\\")), 3u);
  EXPECT_EQ(code(p.volume_root_information("E:")), 123u);
  {
    auto device = p.open_volume(kA.substr(0, kA.size() - 1), VolumeAccess::kReadWrite);
    ASSERT_TRUE(device && (*device)->lock_volume());
    EXPECT_EQ(code(p.volume_root_information(kA)), 5u);
  }
  // Mounted again to answer: its boot sector (an empty disk's) holds no file system.
  EXPECT_EQ(code(p.volume_root_information(kB)), 1005u);
  EXPECT_EQ(dir.machine()["volumes"][1]["fileSystem"], "RAW");
}

}  // namespace
}  // namespace wh
